#include "media/CaptureServePump.hpp"

#include <algorithm>
#include <chrono>

namespace lumenrail {

namespace {

int64_t atLeastOne(int64_t hz) { return hz < 2 ? 1 : hz; }

// Never 0: a zero sleep would spin the pacer.
uint32_t tickUsFor(int64_t fps) {
  const int64_t us = 1'000'000 / (3 * std::min<int64_t>(atLeastOne(fps), 1'000'000));
  return uint32_t(us < 1 ? 1 : us);
}

}  // namespace

// What the pacer thread shares with the pump; the thread holds the pump only
// weakly, so dropping the last owner ends it.
struct CaptureServePump::Pacer {
  std::mutex mutex;
  std::condition_variable cv;
  bool running = true;
  bool kicked = false;  // a frame arrived since the pacer last looked
  uint32_t tickUs = 0;
};

std::shared_ptr<CaptureServePump> CaptureServePump::make(int64_t fps, int64_t idleHz, bool bypassPacing, NowNs nowNs,
                                                         TakeIdr takeIdr, Encode encode) {
  return std::shared_ptr<CaptureServePump>(new CaptureServePump(fps, idleHz, bypassPacing, std::move(nowNs),
                                                                std::move(takeIdr), std::move(encode)));
}

CaptureServePump::CaptureServePump(int64_t fps, int64_t idleHz, bool bypassPacing, NowNs nowNs, TakeIdr takeIdr,
                                   Encode encode)
    : nowNs_(std::move(nowNs)),
      takeIdr_(std::move(takeIdr)),
      encode_(std::move(encode)),
      bypassPacing_(bypassPacing),
      pacer_(std::make_shared<Pacer>()),
      paceIntervalNs_(kNsPerSecond / uint64_t(atLeastOne(fps))),
      idleIntervalNs_(kNsPerSecond / uint64_t(atLeastOne(idleHz))) {
  pacer_->tickUs = tickUsFor(fps);
}

CaptureServePump::~CaptureServePump() {
  {
    std::lock_guard guard(pacer_->mutex);
    pacer_->running = false;
    pacer_->cv.notify_all();
  }
  // The pacer may hold the last reference for the length of a tick; then
  // this runs on it, and a thread cannot join itself.
  if (thread_.isCurrent()) {
    thread_.detach();
  } else if (thread_.joinable() && !thread_.joinFor(kStopJoinNs)) {
    thread_.detach();
  }
}

uint64_t CaptureServePump::presentationFor(uint64_t captureNs) {
  const uint64_t pts = (lastPresentationNs_ && captureNs <= *lastPresentationNs_) ? *lastPresentationNs_ + 1 : captureNs;
  lastPresentationNs_ = pts;
  return pts;
}

void CaptureServePump::run(const Emit& emit) const {
  if (encode_) encode_(emit.buffer, emit.captureNs, emit.presentationNs, emit.force);
}

void CaptureServePump::submit(PixelBufferRef buffer, uint64_t captureNs) {
  if (!buffer) return;
  if (bypassPacing_) {
    std::lock_guard encoding(encodeMutex_);
    Emit emit;
    {
      std::lock_guard guard(lock_);
      emit.force = frameIndex_ == 0 || (takeIdr_ && takeIdr_());
      emit.captureNs = captureNs;
      emit.presentationNs = presentationFor(captureNs);
      lastEncodeNs_ = captureNs;
      ++frameIndex_;
      lastBuffer_ = buffer;
      emit.buffer = std::move(buffer);
    }
    run(emit);
    return;
  }
  bool first;
  {
    std::lock_guard guard(lock_);
    first = !pendingBuffer_;
    pendingBuffer_ = std::move(buffer);
    pendingCaptureNs_ = captureNs;
  }
  // A frame replacing a pending one is due when that one was: the pacer already waits for then.
  if (first) wakePacer();
}

std::optional<CaptureServePump::Emit> CaptureServePump::takeDueLocked(uint64_t now) {
  if (pendingBuffer_) {
    // Asked on every such step, so a request is always served by the step that took it.
    const bool idr = takeIdr_ && takeIdr_();
    const bool force = frameIndex_ == 0 || idr;
    if (!force && now - lastEncodeNs_ < paceIntervalNs_) return std::nullopt;
    Emit emit{std::move(pendingBuffer_), pendingCaptureNs_, presentationFor(pendingCaptureNs_), force};
    pendingBuffer_.reset();
    lastEncodeNs_ = pendingCaptureNs_;
    ++frameIndex_;
    lastBuffer_ = emit.buffer;
    return emit;
  }
  if (lastBuffer_) {
    const bool idr = takeIdr_ && takeIdr_();
    const bool force = frameIndex_ == 0 || idr;
    if (!force && now - lastEncodeNs_ < idleIntervalNs_) return std::nullopt;
    lastEncodeNs_ = now;
    ++frameIndex_;
    return Emit{lastBuffer_, now, presentationFor(now), force};
  }
  return std::nullopt;
}

void CaptureServePump::tick() {
  std::lock_guard encoding(encodeMutex_);
  std::optional<Emit> emit;
  {
    std::lock_guard guard(lock_);
    emit = takeDueLocked(nowNs_());
  }
  if (emit) run(*emit);
}

uint64_t CaptureServePump::pacerWaitNs() const {
  const uint64_t tickNs = uint64_t(tickUs()) * 1000;
  std::lock_guard guard(lock_);
  if (!pendingBuffer_) return tickNs;  // keyframe requests and idle re-emits are looked for each tick
  if (frameIndex_ == 0) return 0;
  const uint64_t now = nowNs_();
  const uint64_t since = now - lastEncodeNs_;
  return since >= paceIntervalNs_ ? 0 : std::min(tickNs, paceIntervalNs_ - since);
}

void CaptureServePump::wakePacer() const {
  std::lock_guard guard(pacer_->mutex);
  pacer_->kicked = true;
  pacer_->cv.notify_all();
}

void CaptureServePump::startPacer() {
  {
    std::lock_guard guard(pacer_->mutex);
    if (!pacer_->running) return;
  }
  std::lock_guard threadGuard(threadMutex_);
  if (thread_.joinable()) return;
  std::weak_ptr<CaptureServePump> weak = weak_from_this();
  std::shared_ptr<Pacer> pacer = pacer_;
  thread_ = NamedThread("lumenrail-m2-pacer", [weak, pacer] {
    for (;;) {
      uint64_t waitNs = 0;
      if (auto self = weak.lock()) {
        waitNs = self->pacerWaitNs();
      } else {
        return;
      }
      {
        std::unique_lock lock(pacer->mutex);
        // A submit since the wait was worked out is not missed: it left the kick set.
        pacer->cv.wait_for(lock, std::chrono::nanoseconds(waitNs), [&] { return !pacer->running || pacer->kicked; });
        if (!pacer->running) return;
        pacer->kicked = false;
      }
      auto self = weak.lock();
      if (!self) return;
      self->tick();
    }
  });
}

void CaptureServePump::stop() {
  {
    std::lock_guard guard(pacer_->mutex);
    pacer_->running = false;
    pacer_->cv.notify_all();
  }
  std::lock_guard threadGuard(threadMutex_);
  if (thread_.isCurrent()) return;
  if (thread_.joinable() && !thread_.joinFor(kStopJoinNs)) thread_.detach();
}

void CaptureServePump::setPaceHz(int64_t fps) {
  {
    std::lock_guard guard(lock_);
    paceIntervalNs_ = kNsPerSecond / uint64_t(atLeastOne(fps));
  }
  std::lock_guard guard(pacer_->mutex);
  pacer_->tickUs = tickUsFor(fps);
}

void CaptureServePump::reset(std::optional<std::pair<int64_t, int64_t>> keepingFrameOfSize) {
  std::lock_guard encoding(encodeMutex_);
  std::lock_guard guard(lock_);
  const bool keep = keepingFrameOfSize && lastBuffer_ && lastBuffer_->width() == keepingFrameOfSize->first &&
                    lastBuffer_->height() == keepingFrameOfSize->second;
  if (!keep) lastBuffer_.reset();
  pendingBuffer_.reset();
  pendingCaptureNs_ = 0;
  lastEncodeNs_ = 0;
  frameIndex_ = 0;
}

uint64_t CaptureServePump::paceIntervalNs() const {
  std::lock_guard guard(lock_);
  return paceIntervalNs_;
}

uint64_t CaptureServePump::idleIntervalNs() const {
  std::lock_guard guard(lock_);
  return idleIntervalNs_;
}

uint32_t CaptureServePump::tickUs() const {
  std::lock_guard guard(pacer_->mutex);
  return pacer_->tickUs;
}

}  // namespace lumenrail

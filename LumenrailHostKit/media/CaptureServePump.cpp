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

void CaptureServePump::encodeLocked(const PixelBufferRef& buffer, uint64_t captureNs, bool force) {
  const uint64_t pts = presentationFor(captureNs);
  if (encode_) encode_(buffer, captureNs, pts, force);
}

void CaptureServePump::submit(PixelBufferRef buffer, uint64_t captureNs) {
  if (!buffer) return;
  std::lock_guard guard(lock_);
  if (bypassPacing_) {
    const bool force = frameIndex_ == 0 || (takeIdr_ && takeIdr_());
    encodeLocked(buffer, captureNs, force);
    lastEncodeNs_ = captureNs;
    ++frameIndex_;
    lastBuffer_ = std::move(buffer);
    return;
  }
  pendingBuffer_ = std::move(buffer);
  pendingCaptureNs_ = captureNs;
}

void CaptureServePump::tick() {
  std::lock_guard guard(lock_);
  const uint64_t now = nowNs_();
  if (pendingBuffer_) {
    // Asked on every such tick, so a request is always served by the tick that took it.
    const bool idr = takeIdr_ && takeIdr_();
    const bool force = frameIndex_ == 0 || idr;
    if (force || now - lastEncodeNs_ >= paceIntervalNs_) {
      PixelBufferRef frame = std::move(pendingBuffer_);
      pendingBuffer_.reset();
      encodeLocked(frame, pendingCaptureNs_, force);
      lastEncodeNs_ = pendingCaptureNs_;
      ++frameIndex_;
      lastBuffer_ = std::move(frame);
    }
    return;
  }
  if (lastBuffer_) {
    const bool idr = takeIdr_ && takeIdr_();
    const bool force = frameIndex_ == 0 || idr;
    if (force || now - lastEncodeNs_ >= idleIntervalNs_) {
      encodeLocked(lastBuffer_, now, force);
      lastEncodeNs_ = now;
      ++frameIndex_;
    }
  }
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
      {
        std::unique_lock lock(pacer->mutex);
        if (!pacer->running) return;
        const auto sleep = std::chrono::microseconds(pacer->tickUs);
        if (pacer->cv.wait_for(lock, sleep, [&] { return !pacer->running; })) return;
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

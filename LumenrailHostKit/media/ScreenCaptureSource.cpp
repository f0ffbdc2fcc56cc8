#include "media/ScreenCaptureSource.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "media/CaptureFrameCopier.hpp"

namespace lumenrail {

struct ScreenCaptureSource::Deliveries {
  std::mutex lock;
  uint64_t lastNs = 0;
  uint64_t count = 0;
  std::atomic<uint64_t> drops{0};

  void note(uint64_t now, bool countIt) {
    std::lock_guard guard(lock);
    lastNs = now;
    if (countIt) ++count;
  }
};

// What the capture thread shares with the source.
struct ScreenCaptureSource::Stream {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;
  // Held while a handler runs, so stop() can wait out a delivery in progress.
  std::mutex gate;
  std::atomic<bool> open{true};

  void requestStop() {
    std::lock_guard guard(mutex);
    stopping = true;
    cv.notify_all();
  }
};

namespace {

const char* captureKindName(ScreenCaptureSource::CaptureErrorKind kind) {
  switch (kind) {
    case ScreenCaptureSource::CaptureErrorKind::displayNotFound:
      return "displayNotFound";
    case ScreenCaptureSource::CaptureErrorKind::noDisplays:
      return "noDisplays";
    case ScreenCaptureSource::CaptureErrorKind::badSize:
      return "badSize";
  }
  return "unknown";
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

struct CursorKey {
  int32_t x = 0;
  int32_t y = 0;
  uint32_t serial = 0;
  bool operator==(const CursorKey&) const = default;
};

}  // namespace

ScreenCaptureSource::CaptureError::CaptureError(CaptureErrorKind k, uint32_t id, int64_t w, int64_t h)
    : kind(k), displayId(id), width(w), height(h) {
  switch (kind) {
    case CaptureErrorKind::displayNotFound:
      text_ = std::string(captureKindName(kind)) + "(" + std::to_string(displayId) + ")";
      break;
    case CaptureErrorKind::noDisplays:
      text_ = captureKindName(kind);
      break;
    case CaptureErrorKind::badSize:
      text_ = std::string(captureKindName(kind)) + "(" + std::to_string(width) + ", " + std::to_string(height) + ")";
      break;
  }
}

ScreenCaptureSource::ScreenCaptureSource(Config config, NowNs nowNs)
    : config_(std::move(config)), nowNs_(std::move(nowNs)), deliveries_(std::make_shared<Deliveries>()) {}

ScreenCaptureSource::~ScreenCaptureSource() { stop(); }

void ScreenCaptureSource::start() {
  if (config_.width < 1 || config_.height < 1 || config_.width > PixelBuffer::kMaxDimension ||
      config_.height > PixelBuffer::kMaxDimension) {
    throw CaptureError(CaptureErrorKind::badSize, 0, config_.width, config_.height);
  }
  stop();

  std::shared_ptr<X11Display> display;
  {
    std::lock_guard guard(mutex_);
    if (!display_ || display_->broken()) display_ = X11Display::open(config_.xDisplay);
    display = display_;
  }
  const std::vector<X11Monitor> monitors = display->monitors();
  if (monitors.empty()) throw CaptureError(CaptureErrorKind::noDisplays);
  std::optional<X11Monitor> chosen;
  if (config_.targetDisplayID != 0) {
    for (const auto& m : monitors) {
      if (m.id == config_.targetDisplayID) chosen = m;
    }
    if (!chosen) throw CaptureError(CaptureErrorKind::displayNotFound, config_.targetDisplayID);
  } else {
    chosen = monitors.front();
    for (const auto& m : monitors) {
      if (m.primary) {
        chosen = m;
        break;
      }
    }
  }
  {
    std::lock_guard guard(mutex_);
    probeTarget_ = chosen;
  }

  auto grabber = std::make_shared<X11ScreenGrabber>(display);  // throws for pixels we cannot read
  std::shared_ptr<X11DamageWatch> damage = X11DamageWatch::make(display);
  auto stream = std::make_shared<Stream>();
  const X11Monitor monitor = *chosen;
  const Config config = config_;
  const NowNs nowNs = nowNs_;
  const auto deliveries = deliveries_;
  const FrameHandler frameHandler = onFrame;
  const StopHandler stopHandler = onStop;
  const Log::Sink logSink = log;

  // Nothing here refers to the source: a thread left running by a stop that
  // timed out only touches what it shares.
  auto body = [=] {
    CaptureFrameCopier copier(config.width, config.height, config.pixelFormat, nowNs, logSink);
    // At most kMaxFps ticks a second: an absurd rate must not spin the thread.
    const int64_t fps = std::clamp<int64_t>(config.fps, 1, kMaxFps);
    const auto interval = std::chrono::nanoseconds(kNsPerSecond / uint64_t(fps));
    auto next = std::chrono::steady_clock::now();
    bool dirty = true;
    std::optional<CursorKey> lastCursor;
    for (;;) {
      {
        std::unique_lock lock(stream->mutex);
        // Absolute deadlines keep the rate steady whatever each tick costs.
        if (stream->cv.wait_until(lock, next, [&] { return stream->stopping; })) break;
      }
      const auto woke = std::chrono::steady_clock::now();
      next += interval;
      if (next <= woke) next = woke + interval;  // late: no burst of make-up ticks

      deliveries->note(nowNs(), true);
      if (!damage || damage->takeChanged()) dirty = true;
      std::optional<X11CursorImage> cursor;
      std::optional<CursorKey> cursorKey;
      if (config.showsCursor) {
        cursor = display->cursor();
        if (cursor) cursorKey = CursorKey{cursor->x, cursor->y, cursor->serial};
        if (cursorKey != lastCursor) dirty = true;
      }
      if (!dirty) continue;

      PixelBufferRef frame;
      std::exception_ptr failure;
      try {
        X11Image image = grabber->grab(monitor.x, monitor.y, monitor.width, monitor.height);
        if (cursor) blendCursor(image, monitor.x, monitor.y, *cursor);
        frame = copier.copy(image.data, image.bytesPerRow, image.width, image.height);
      } catch (...) {
        failure = std::current_exception();
      }
      deliveries->drops.store(copier.dropCount());
      if (failure) {
        std::lock_guard gate(stream->gate);
        if (stream->open.load() && stopHandler) stopHandler(failure);
        break;
      }
      // A dropped frame stays owed: the next tick grabs again even on a still screen.
      if (!frame) continue;
      dirty = false;
      lastCursor = cursorKey;
      const uint64_t captured = nowNs();
      std::lock_guard gate(stream->gate);
      if (stream->open.load() && frameHandler) frameHandler(frame, captured);
    }
  };

  std::lock_guard guard(mutex_);
  stream_ = stream;
  deliveries_->note(nowNs_(), false);
  thread_ = NamedThread("quillmark.lumenrail.sck.samples", std::move(body));
}

void ScreenCaptureSource::stop() {
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard guard(mutex_);
    stream = stream_;
  }
  if (!stream) return;
  stream->requestStop();
  if (thread_.isCurrent()) {
    // From a handler: the gate is ours already; the loop ends when the handler returns.
    stream->open.store(false);
    return;
  }
  {
    std::lock_guard gate(stream->gate);
    stream->open.store(false);
  }
  if (thread_.joinable() && !thread_.joinFor(kStopJoinNs)) thread_.detach();
  std::lock_guard guard(mutex_);
  if (stream_ == stream) stream_.reset();
}

PixelBufferRef ScreenCaptureSource::grabOnce(int64_t width, int64_t height, PixelFormat format) {
  std::lock_guard oneShot(oneShotMutex_);
  std::shared_ptr<X11Display> display;
  std::optional<X11Monitor> target;
  {
    std::lock_guard guard(mutex_);
    display = display_;
    target = probeTarget_;
  }
  if (!display || !target) return nullptr;
  try {
    if (!oneShotGrabber_ || oneShotGrabber_->display() != display) {
      oneShotGrabber_ = std::make_unique<X11ScreenGrabber>(display);
    }
    std::optional<X11CursorImage> cursor;
    if (config_.showsCursor) cursor = display->cursor();
    X11Image image = oneShotGrabber_->grab(target->x, target->y, target->width, target->height);
    if (cursor) blendCursor(image, target->x, target->y, *cursor);
    return convertBgrx(image.data, image.bytesPerRow, image.width, image.height, width, height, format);
  } catch (const std::exception&) {
    return nullptr;
  }
}

PixelBufferRef ScreenCaptureSource::captureOneShot() {
  if (config_.width < 1 || config_.height < 1) return nullptr;
  return grabOnce(config_.width, config_.height, config_.pixelFormat);
}

std::optional<uint64_t> ScreenCaptureSource::probeContentHash() {
  PixelBufferRef image = grabOnce(kProbeSide, kProbeSide, PixelFormat::bgra);
  if (!image) return std::nullopt;
  uint64_t hash = kFnvOffset;
  for (int64_t y = 0; y < image->height(); ++y) {
    const uint8_t* row = image->planeData(0) + y * image->bytesPerRow(0);
    for (int64_t i = 0; i < image->width() * 4; ++i) {
      hash ^= row[i];
      hash *= kFnvPrime;
    }
  }
  return hash;
}

uint64_t ScreenCaptureSource::lastDeliveryNs() const {
  std::lock_guard guard(deliveries_->lock);
  return deliveries_->lastNs;
}

uint64_t ScreenCaptureSource::deliveryCount() const {
  std::lock_guard guard(deliveries_->lock);
  return deliveries_->count;
}

uint64_t ScreenCaptureSource::copyDropCount() const { return deliveries_->drops.load(); }

std::optional<X11Monitor> ScreenCaptureSource::monitor() const {
  std::lock_guard guard(mutex_);
  return probeTarget_;
}

}  // namespace lumenrail

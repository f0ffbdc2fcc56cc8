#include "desktop/x11/ScreenCaptureSource.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "media/CaptureFrameCopier.hpp"

namespace lumenrail {

// What the source shares with its capture threads.
struct ScreenCaptureSource::Shared {
  std::mutex lock;
  uint64_t lastNs = 0;
  uint64_t count = 0;
  std::optional<X11Monitor> target;  // followed through layout changes
  std::atomic<uint64_t> drops{0};

  void note(uint64_t now, bool countIt) {
    std::lock_guard guard(lock);
    lastNs = now;
    if (countIt) ++count;
  }
  void follow(const X11Monitor& monitor) {
    std::lock_guard guard(lock);
    target = monitor;
  }
};

// What the capture thread shares with the source.
struct ScreenCaptureSource::Stream {
  // Written to stop: the thread waits on it beside the X connection.
  const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Held while a handler runs, so stop() can wait out a delivery in progress.
  std::mutex gate;
  std::atomic<bool> open{true};

  Stream() {
    if (stopFd < 0) throw X11Error(X11ErrorKind::requestFailed, "eventfd");
  }
  ~Stream() { ::close(stopFd); }
  void requestStop() const {
    const uint64_t one = 1;
    while (::write(stopFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
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

// The cursor as a frame shows it; a frame without it on the monitor has none.
struct CursorKey {
  int32_t x = 0;
  int32_t y = 0;
  uint32_t serial = 0;
  bool operator==(const CursorKey&) const = default;
};

X11Rect rectOf(const X11Monitor& m) { return {m.x, m.y, m.width, m.height}; }

std::optional<CursorKey> visibleCursor(const std::optional<X11CursorImage>& c, const X11Monitor& m) {
  if (!c || !X11Rect{c->x - c->xhot, c->y - c->yhot, c->width, c->height}.intersects(rectOf(m))) return std::nullopt;
  return CursorKey{c->x, c->y, c->serial};
}

std::optional<X11Monitor> findMonitor(const std::vector<X11Monitor>& monitors, uint32_t id) {
  for (const auto& m : monitors) {
    if (m.id == id) return m;
  }
  return std::nullopt;
}

// Waits for the stop descriptor and, when given, the X connection; false once stopped.
bool waitFor(int stopFd, int xFd, uint64_t timeoutNs) {
  pollfd fds[2] = {{stopFd, POLLIN, 0}, {xFd, POLLIN, 0}};
  timeoutNs = std::min<uint64_t>(timeoutNs, 60 * kNsPerSecond);
  // To the nanosecond: a grab owed at the end of the frame interval must not wait a millisecond more.
  const timespec timeout{time_t(timeoutNs / kNsPerSecond), long(timeoutNs % kNsPerSecond)};
  while (::ppoll(fds, xFd >= 0 ? 2 : 1, &timeout, nullptr) < 0 && errno == EINTR) {
  }
  return (fds[0].revents & POLLIN) == 0;
}

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
    : config_(std::move(config)), nowNs_(std::move(nowNs)), shared_(std::make_shared<Shared>()) {}

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
    chosen = findMonitor(monitors, config_.targetDisplayID);
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
  shared_->follow(*chosen);

  // The thread reads its connection's events, so it gets one of its own.
  std::shared_ptr<X11Display> own = X11Display::open(config_.xDisplay);
  auto grabber = std::make_shared<X11ScreenGrabber>(own);  // throws for pixels we cannot read
  auto watch = std::make_shared<X11ScreenWatch>(own);
  auto stream = std::make_shared<Stream>();
  const Config config = config_;
  const NowNs nowNs = nowNs_;
  const auto shared = shared_;
  const FrameHandler frameHandler = onFrame;
  const StopHandler stopHandler = onStop;
  const Log::Sink logSink = log;

  // Nothing here refers to the source: a thread left running by a stop that
  // timed out only touches what it shares.
  auto body = [=, monitor = *chosen]() mutable {
    CaptureFrameCopier copier(config.width, config.height, config.pixelFormat, nowNs, logSink);
    // At most kMaxFps grabs a second: an absurd rate must not spin the thread.
    const uint64_t interval = kNsPerSecond / uint64_t(std::clamp<int64_t>(config.fps, 1, kMaxFps));
    const uint64_t aliveCheck = std::max<uint64_t>(config.aliveCheckNs, kNsPerMs);
    const bool pollScreen = !watch->reportsDamage();
    const bool pollCursor = config.showsCursor && !watch->reportsMotion();
    bool dirty = true;  // the first frame is owed
    bool cursorMoved = config.showsCursor;
    std::optional<CursorKey> shownCursor;
    std::optional<uint64_t> lastGrab;
    std::optional<uint64_t> lastCursorLook;

    const auto fail = [&](std::exception_ptr error) {
      std::lock_guard gate(stream->gate);
      if (stream->open.load() && stopHandler) stopHandler(error);
    };
    // A monitor moved by deleting and setting it again is missing for a moment.
    std::optional<uint64_t> goneSince;
    // RandR reports CRTC, output and screen changes, but not monitors set or
    // deleted by clients: the layout is also read after every grab and at
    // least once an alive check. That read is also the proof that the server
    // answers, and the only delivery counted: a hung one stops the count at once.
    uint64_t lastLayoutRead = nowNs();
    const auto absorb = [&](const X11ScreenEvents& events, bool readLayout) {
      if (own->broken()) throw X11Error(X11ErrorKind::connectionLost, own->name());
      if (events.layout || readLayout || goneSince) {
        lastLayoutRead = nowNs();
        const std::optional<X11Monitor> now = findMonitor(own->monitors(), monitor.id);
        shared->note(nowNs(), true);
        if (!now) {
          if (!goneSince) goneSince = nowNs();
        } else {
          if (goneSince || rectOf(*now) != rectOf(monitor)) dirty = true;
          goneSince.reset();
          monitor = *now;
          shared->follow(monitor);
        }
      }
      if (events.damage && events.damage->intersects(rectOf(monitor))) dirty = true;
      if (events.cursor && config.showsCursor) cursorMoved = true;
    };

    try {
      for (;;) {
        absorb(watch->take(), nowNs() - lastLayoutRead >= aliveCheck);
        if (goneSince) {
          const uint64_t gone = nowNs() - *goneSince;
          if (gone >= kDisplayGoneGraceNs) {
            fail(std::make_exception_ptr(CaptureError(CaptureErrorKind::displayNotFound, monitor.id)));
            return;
          }
          if (!waitFor(stream->stopFd, watch->fd(), std::min(kDisplayGoneGraceNs - gone, aliveCheck))) return;
          continue;
        }
        const uint64_t now = nowNs();
        // GCC 12 takes this read, behind its check, for one of an unset optional.
#pragma GCC diagnostic push
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
        const uint64_t grabDue = lastGrab ? *lastGrab + interval : now;
#pragma GCC diagnostic pop
        // A pointer moving on another monitor is looked at once a frame interval too.
        const uint64_t due = dirty ? grabDue : std::max(grabDue, lastCursorLook ? *lastCursorLook + interval : now);
        if ((dirty || cursorMoved) && now >= due) {
          std::optional<X11CursorImage> cursor;
          if (config.showsCursor) cursor = own->cursor();
          const std::optional<CursorKey> cursorKey = visibleCursor(cursor, monitor);
          cursorMoved = false;
          lastCursorLook = now;
          if (!dirty && cursorKey == shownCursor) continue;

          lastGrab = now;
          const X11Rect grabbed = rectOf(monitor);
          X11Image image;
          std::exception_ptr grabFailure;
          try {
            image = grabber->grab(grabbed.x, grabbed.y, grabbed.width, grabbed.height);
          } catch (const X11Error& e) {
            if (e.kind != X11ErrorKind::requestFailed) throw;
            grabFailure = std::current_exception();  // unless the monitor moved off that rectangle
          }
          // The layout read after the grab tells whether the picture is of the
          // monitor's place: one of a place it has left may show another display.
          dirty = false;
          absorb(watch->take(), true);
          if (goneSince || rectOf(monitor) != grabbed) {
            dirty = true;
            lastGrab.reset();
            continue;
          }
          if (grabFailure) std::rethrow_exception(grabFailure);
          if (cursorKey) blendCursor(image, monitor.x, monitor.y, *cursor);
          PixelBufferRef frame = copier.copy(image.data, image.bytesPerRow, image.width, image.height);
          shared->drops.store(copier.dropCount());
          // A dropped frame stays owed.
          if (!frame) {
            dirty = true;
            continue;
          }
          shownCursor = cursorKey;
          const uint64_t captured = nowNs();
          std::lock_guard gate(stream->gate);
          if (stream->open.load() && frameHandler) frameHandler(frame, captured);
          continue;
        }

        const bool owed = dirty || cursorMoved;
        // Owed: sleep out the frame interval; events meanwhile are read after it.
        // Otherwise wait for the server, looking anyway where it cannot tell.
        uint64_t timeout = owed ? due - now : lastLayoutRead + aliveCheck - std::min(now, lastLayoutRead + aliveCheck);
        if (!owed && (pollScreen || pollCursor)) timeout = std::min(timeout, interval);
        if (!waitFor(stream->stopFd, owed ? -1 : watch->fd(), timeout)) return;
        if (pollScreen) dirty = true;
        if (pollCursor) cursorMoved = true;
      }
    } catch (...) {
      fail(std::current_exception());
    }
  };

  std::lock_guard guard(mutex_);
  stream_ = stream;
  shared_->note(nowNs_(), false);
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
  }
  {
    std::lock_guard guard(shared_->lock);
    target = shared_->target;
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
  std::lock_guard guard(shared_->lock);
  return shared_->lastNs;
}

uint64_t ScreenCaptureSource::deliveryCount() const {
  std::lock_guard guard(shared_->lock);
  return shared_->count;
}

uint64_t ScreenCaptureSource::copyDropCount() const { return shared_->drops.load(); }

std::optional<X11Monitor> ScreenCaptureSource::monitor() const {
  std::lock_guard guard(shared_->lock);
  return shared_->target;
}

}  // namespace lumenrail

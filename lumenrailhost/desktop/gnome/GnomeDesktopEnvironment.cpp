#include "desktop/gnome/GnomeDesktopEnvironment.hpp"

#include <atomic>
#include <functional>

#include "desktop/SoundServerAudio.hpp"
#include "desktop/gnome/GnomeDisplayConfiguration.hpp"
#include "desktop/gnome/GnomeIdleInhibit.hpp"
#include "desktop/gnome/GnomeKeyboardLayout.hpp"
#include "desktop/gnome/GnomePenTablet.hpp"
#include "desktop/gnome/GnomePermissionProbe.hpp"
#include "desktop/gnome/MutterCaptureSource.hpp"
#include "desktop/gnome/MutterInputSink.hpp"
#include "desktop/gnome/MutterRemoteDesktop.hpp"
#include "input/InputPermission.hpp"
#include "input/UinputInputSink.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "platform/DBusConnection.hpp"

namespace lumenrail {

struct GnomeDesktopEnvironment::Streaming {
  using Resolve = std::function<std::shared_ptr<MutterCaptureSource>()>;
  std::mutex lock;  // guards the fields below
  // The capture streamed now; a virtual display's is looked up each time,
  // since a new mode or rate replaces it while the session keeps streaming.
  Resolve capture;
  const void* owner = nullptr;
  uint32_t displayID = 0;  // 0: the main display
  std::weak_ptr<GnomeDisplayConfiguration> displays;

  void streams(const void* by, Resolve resolve, uint32_t id, const std::shared_ptr<GnomeDisplayConfiguration>& d) {
    std::lock_guard guard(lock);
    owner = by;
    capture = std::move(resolve);
    displayID = id;
    displays = d;
  }
  void ends(const void* by) {
    std::lock_guard guard(lock);
    if (owner != by) return;
    owner = nullptr;
    capture = nullptr;
  }
  std::shared_ptr<MutterRemoteDesktop> session() {
    Resolve resolve;
    {
      std::lock_guard guard(lock);
      resolve = capture;
    }
    const auto c = resolve ? resolve() : nullptr;
    return c ? c->session() : nullptr;
  }
  // The streamed monitor: its area of the desktop and its name in GNOME's
  // device settings (none where the arrangement is not known).
  struct Monitor {
    Rect area;
    std::optional<GnomeTabletMapping::Output> output;
  };
  std::optional<Monitor> monitor() {
    std::shared_ptr<GnomeDisplayConfiguration> d;
    uint32_t id = 0;
    {
      std::lock_guard guard(lock);
      d = displays.lock();
      id = displayID;
    }
    if (!d) return Monitor{};
    try {
      if (id == 0) id = d->mainDisplay();
      const auto b = d->bounds(id);
      if (!b) return std::nullopt;
      return Monitor{{double(b->x), double(b->y), double(b->width), double(b->height)}, d->outputOf(id)};
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
};

namespace {

// The session's capture of one monitor: a virtual display's capture runs in
// the display configuration (it keeps the monitor alive), so starting it
// attaches there; a real monitor's capture is a screen cast of its own.
class GnomeCapture final : public CaptureSource, public std::enable_shared_from_this<GnomeCapture> {
 public:
  GnomeCapture(const CaptureRequest& request, MutterCaptureSource::Config config,
               std::shared_ptr<GnomeDisplayConfiguration> displays,
               std::shared_ptr<GnomeDesktopEnvironment::Streaming> streaming)
      : request_(request), config_(std::move(config)), displays_(std::move(displays)),
        streaming_(std::move(streaming)) {}
  ~GnomeCapture() override { stop(); }

  void start() override {
    std::shared_ptr<MutterCaptureSource> capture;
    if (virtual_()) {
      capture = displays_->attach(request_.displayID, request_.pixelFormat, this);
    } else {
      capture = std::make_shared<MutterCaptureSource>(config_);
      capture->onFrame = onFrame;
      capture->onStop = onStop;
      capture->log = log;
      capture->start();
    }
    {
      std::lock_guard guard(lock_);
      capture_ = capture;
    }
    streaming_->streams(this, [weak = weak_from_this()] {
      const auto self = weak.lock();
      return self ? self->current() : nullptr;
    }, request_.displayID, displays_);
  }

  void stop() override {
    std::shared_ptr<MutterCaptureSource> capture;
    {
      std::lock_guard guard(lock_);
      capture = std::move(capture_);
      capture_.reset();
    }
    if (!capture) return;
    streaming_->ends(this);
    if (virtual_()) {
      displays_->detach(request_.displayID, this);
    } else {
      capture->stop();
    }
  }

  PixelBufferRef captureOneShot() override {
    const auto c = current();
    return c ? c->captureOneShot() : nullptr;
  }
  std::optional<uint64_t> probeContentHash() override {
    const auto c = current();
    return c ? c->probeContentHash() : std::nullopt;
  }
  std::string frameOrigin() const override { return "Mutter and PipeWire"; }
  bool grabsOnDemand() const override { return false; }
  uint64_t aliveCheckNs() const override {
    const auto c = current();
    return c ? c->aliveCheckNs() : 0;
  }
  bool holdsSessionWhileSilent() const override {
    const auto c = current();
    return c && c->holdsSessionWhileSilent();
  }
  uint64_t lastDeliveryNs() const override {
    const auto c = current();
    return c ? c->lastDeliveryNs() : 0;
  }
  uint64_t deliveryCount() const override {
    const auto c = current();
    return c ? c->deliveryCount() : 0;
  }

 private:
  bool virtual_() const { return displays_ && request_.displayID != 0 && displays_->isVirtual(request_.displayID); }
  std::shared_ptr<MutterCaptureSource> current() const {
    std::lock_guard guard(lock_);
    if (!capture_) return nullptr;
    // A virtual display's capture is replaced by a new mode while this one stays attached.
    return virtual_() ? displays_->captureOf(request_.displayID) : capture_;
  }

  const CaptureRequest request_;
  const MutterCaptureSource::Config config_;
  const std::shared_ptr<GnomeDisplayConfiguration> displays_;
  const std::shared_ptr<GnomeDesktopEnvironment::Streaming> streaming_;
  mutable std::mutex lock_;
  std::shared_ptr<MutterCaptureSource> capture_;
};

// Input on the remote-desktop session of whatever is streamed now: the
// session changes with every capture start, the origin when displays move.
// The pen goes to the uinput tablet instead where there is one.
class GnomeSessionInput final : public InputEventSink {
 public:
  GnomeSessionInput(std::shared_ptr<GnomeDesktopEnvironment::Streaming> streaming, Log::Sink log,
                    std::unique_ptr<GnomePenTablet> pen)
      : streaming_(std::move(streaming)), log_(std::move(log)), pen_(std::move(pen)) {}

  bool post(const InputEvent& event) override {
    const auto session = streaming_->session();
    if (!session) return false;
    const auto monitor = streaming_->monitor();
    if (!monitor) return false;
    if (pen_ && monitor->output && event.isPen()) return pen_->post(event, monitor->area, *monitor->output);
    const Point origin{monitor->area.x, monitor->area.y};
    std::lock_guard guard(lock_);
    if (session != session_ || origin != origin_) {
      sink_.reset();  // releases what the previous one held
      sink_ = std::make_unique<MutterInputSink>(session, origin, log_);
      session_ = session;
      origin_ = origin;
    }
    return sink_->post(event);
  }

  uint64_t modifierFlags() override {
    std::lock_guard guard(lock_);
    return sink_ ? sink_->modifierFlags() : 0;
  }

 private:
  const std::shared_ptr<GnomeDesktopEnvironment::Streaming> streaming_;
  const Log::Sink log_;
  std::mutex lock_;  // guards the fields below
  std::shared_ptr<MutterRemoteDesktop> session_;
  Point origin_;
  std::unique_ptr<MutterInputSink> sink_;
  const std::unique_ptr<GnomePenTablet> pen_;
};

// The uinput tablet GNOME maps to the streamed monitor, when /dev/uinput is
// writable and the mapping can be set; `why` says otherwise.
std::unique_ptr<GnomePenTablet> openPenTablet(const Log::Sink& log, std::string& why) {
  if (!InputPermission::uinputWritable()) {
    why = "/dev/uinput is not writable";
    return nullptr;
  }
  auto mapping = GnomeTabletMapping::open(UinputInputSink::vendorId, UinputInputSink::penProductId, &why);
  if (!mapping) return nullptr;
  auto tablet = UinputInputSink::openPen(Rect{0, 0, 1920, 1080}, &why, log);
  if (!tablet) return nullptr;
  return std::make_unique<GnomePenTablet>(std::move(tablet), std::move(mapping), log);
}

// Wayland tells no client which application is in front.
class NoForeground final : public ForegroundAppSource {
 public:
  std::optional<std::string> frontmostAppId() override {
    if (!said_.exchange(true)) {
      Log::line("[fg] the foreground application cannot be known on GNOME Wayland — none is reported");
    }
    return std::nullopt;
  }

 private:
  std::atomic<bool> said_{false};
};

}  // namespace

GnomeDesktopEnvironment::GnomeDesktopEnvironment(Config config)
    : config_(std::move(config)), streaming_(std::make_shared<Streaming>()) {}

GnomeDesktopEnvironment::~GnomeDesktopEnvironment() = default;

std::shared_ptr<GnomeDisplayConfiguration> GnomeDesktopEnvironment::displays() {
  std::lock_guard guard(lock_);
  return displays_;
}

std::shared_ptr<DisplayConfiguration> GnomeDesktopEnvironment::openDisplays() {
  GnomeDisplayConfiguration::Config c;
  c.busAddress = config_.busAddress;
  c.pipewireRemote = config_.pipewireRemote;
  auto opened = GnomeDisplayConfiguration::open(c);
  std::lock_guard guard(lock_);
  displays_ = opened;
  return opened;
}

std::shared_ptr<CaptureSource> GnomeDesktopEnvironment::makeCapture(const CaptureRequest& request) {
  const auto d = displays();
  MutterCaptureSource::Config c;
  c.width = request.width;
  c.height = request.height;
  c.fps = request.fps;
  c.showsCursor = request.showsCursor;
  c.pixelFormat = request.pixelFormat;
  c.busAddress = config_.busAddress;
  c.pipewireRemote = config_.pipewireRemote;
  // Mirror: the primary monitor unless a real one is named.
  if (d && request.displayID != 0) c.connector = d->connectorOf(request.displayID);
  return std::make_shared<GnomeCapture>(request, c, d, streaming_);
}

std::shared_ptr<VideoEncoder> GnomeDesktopEnvironment::makeEncoder(const VideoEncoder::Config& config) {
  return std::make_shared<VideoToolboxEncoder>(config);
}

std::shared_ptr<SystemAudioSource> GnomeDesktopEnvironment::makeAudio(SystemAudioRoute route,
                                                                        const AudioRequest& request,
                                                                        const Log::Sink& log) {
  return makeSoundServerAudio(route, request.sampleRate, request.channels, request.displayID, log);
}

std::shared_ptr<InputEventSink> GnomeDesktopEnvironment::makeInputSink(const Log::Sink& log) {
  std::string why;
  auto pen = openPenTablet(log, why);
  if (log) {
    log(pen ? "pen through the uinput tablet mapped to the streamed monitor: pressure, tilt and the eraser reach "
              "applications; fingers, scroll and keys through Mutter's remote-desktop session"
            : "pen through Mutter's remote-desktop session as the pointer: pressure, tilt and the eraser are lost (" +
                  why + ")");
  }
  return std::make_shared<GnomeSessionInput>(streaming_, log, std::move(pen));
}

// Wayland lets no client find or raise another's window.
std::shared_ptr<WindowActivator> GnomeDesktopEnvironment::makeWindowActivator() { return nullptr; }

std::shared_ptr<ForegroundAppSource> GnomeDesktopEnvironment::makeForegroundSource() {
  return std::make_shared<NoForeground>();
}

std::unique_ptr<KeyboardLayoutSource> GnomeDesktopEnvironment::makeKeyboardLayout() {
  return GnomeKeyboardLayout::source();
}

double GnomeDesktopEnvironment::mainDisplayRefreshHz() {
  const auto d = displays();
  if (!d) return 60.0;
  try {
    return d->refreshRate(d->mainDisplay()).value_or(60.0);
  } catch (const std::exception&) {
    return 60.0;
  }
}

bool GnomeDesktopEnvironment::mayPostInput() { return streaming_->session() != nullptr; }

// The session's input rides on the stream's own remote-desktop session.
DesktopEnvironment::NoInput GnomeDesktopEnvironment::whyNoInput() {
  return {"the stream has no Mutter remote-desktop session", ""};
}

// An idle inhibit through the session manager keeps GNOME's screen awake.
std::shared_ptr<SleepAssertion> GnomeDesktopEnvironment::makeDisplayAwake(const std::string& reason) {
  return std::make_shared<GnomeIdleInhibit>(reason, config_.busAddress);
}

std::shared_ptr<HostPermissions::Probe> GnomeDesktopEnvironment::makePermissionProbe() {
  return std::make_shared<GnomePermissionProbe>();
}

// Mutter's services are reached over D-Bus alone.
void GnomeDesktopEnvironment::cutConnections() { DBusConnection::cutAll(); }

}  // namespace lumenrail

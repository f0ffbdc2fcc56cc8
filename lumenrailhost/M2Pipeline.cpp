#include "M2Pipeline.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "HostEntry.hpp"
#include "input/PenDisplayPolicy.hpp"
#include "links/PairingProtocol.hpp"

namespace lumenrail {

namespace {

bool hasArgument(const std::vector<std::string>& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

Log::Sink orStdout(Log::Sink sink) {
  if (sink) return sink;
  return [](const std::string& line) { Log::line(line); };
}

Log::Sink tagged(const Log::Sink& log, std::string tag) {
  return [log, tag = std::move(tag)](const std::string& line) { log(tag + line); };
}

}  // namespace

std::string M2Pipeline::describeError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// ---- static helpers -------------------------------------------------------

Wire::HelloParams M2Pipeline::hello(const Mode& mode, Wire::Codec codec) {
  Wire::HelloParams h;
  h.codec = codec;
  h.width = static_cast<uint32_t>(mode.width);
  h.height = static_cast<uint32_t>(mode.height);
  h.frameRateNum = static_cast<uint32_t>(mode.fps);
  h.frameRateDen = 1;
  h.bitrateBps = kBitrateBps;
  h.qpcFrequency = kNsPerSecond;
  return h;
}

std::string M2Pipeline::label(const Mode& mode) {
  return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "@" + std::to_string(mode.fps);
}

double M2Pipeline::vdHz(const Mode& mode) const { return vdHzFor(mode, penHighRate_.load()); }

std::string M2Pipeline::vdLabel(const Mode& mode) const {
  const double rate = vdHz(mode);
  if (rate == static_cast<double>(mode.fps)) return label(mode);
  return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "@" +
         std::to_string(static_cast<int64_t>(rate)) + "Hz display, " + std::to_string(mode.fps) + " fps stream";
}

bool M2Pipeline::flagEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

bool M2Pipeline::bypassPacing() {
  static const bool on = flagEnv("LUMENRAIL_NO_PACER");
  return on;
}

bool M2Pipeline::captureBgra() {
  static const bool on = flagEnv("LUMENRAIL_CAPTURE_BGRA");
  return on;
}

int64_t M2Pipeline::intEnv(const char* name, int64_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  std::string_view text(value);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return fallback;
  int64_t parsed = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (err != std::errc() || end != text.data() + text.size()) return fallback;
  return parsed;
}

std::shared_ptr<InkObserver> M2Pipeline::makeInkObserver(const Log::Sink& log) {
  if (!flagEnv("LUMENRAIL_PEN_TO_INK")) return nullptr;
  InkObserver::Config config;
  config.x = intEnv("LUMENRAIL_INK_RECT_X", 32);
  config.y = intEnv("LUMENRAIL_INK_RECT_Y", 32);
  config.width = intEnv("LUMENRAIL_INK_RECT_W", 96);
  config.height = intEnv("LUMENRAIL_INK_RECT_H", 96);
  config.brightThreshold = 160.0;
  config.rearmThreshold = 80.0;
  log("[ink] pen-to-ink instrumentation ON — watching rect (" + std::to_string(config.x) + "," +
      std::to_string(config.y) + " " + std::to_string(config.width) + "x" + std::to_string(config.height) +
      "); emitting InkObserved (0x0A)");
  return std::make_shared<InkObserver>(config);
}

PenMapper::TargetRect M2Pipeline::targetRect(Target& target) {
  std::lock_guard lock(target.lock);
  // Before the display is known, the stream's own size at the origin.
  PenMapper::TargetRect fallback{0, 0, static_cast<double>(target.width), static_cast<double>(target.height)};
  if (!target.displays) return fallback;
  const uint32_t id = target.vdId != 0 ? target.vdId : target.displays->mainDisplay();
  const auto bounds = target.displays->bounds(id);
  if (!bounds) return fallback;
  return {static_cast<double>(bounds->x), static_cast<double>(bounds->y), static_cast<double>(bounds->width),
          static_cast<double>(bounds->height)};
}

// ---- construction ---------------------------------------------------------

std::shared_ptr<M2Pipeline> M2Pipeline::create(Config config) {
  const Mode& m = config.mode;
  if (m.width <= 0 || m.height <= 0 || m.fps <= 0 || m.width > INT32_MAX || m.height > INT32_MAX ||
      m.fps > INT32_MAX) {
    throw std::invalid_argument("stream mode " + label(m) + " does not fit the encoder and Hello fields");
  }
  if (!config.desktop) throw std::invalid_argument("a serving session needs a desktop environment");
  std::shared_ptr<M2Pipeline> pipeline(new M2Pipeline(std::move(config)));
  pipeline->wire();
  return pipeline;
}

M2Pipeline::M2Pipeline(Config config)
    : config_(std::move(config)),
      log_(orStdout(config_.log)),
      port_(config_.port),
      captureMain_(config_.captureMain),
      usb_(config_.usb),
      psk_(config_.psk),
      penHighRate_(config_.penHighRate),
      audioEnabled_(hasArgument(config_.arguments, "--audio")),
      audioForceSck_(hasArgument(config_.arguments, "--audio-sck")),
      mode_(config_.mode) {
  stallProbe_ = std::make_shared<FrameStallProbe>(100.0, 300.0, tagged(log_, "[stall] "));
  faultCaptureTimeouts_ = intEnv("LR_FAULT_CAPTURE_TIMEOUTS", 0);
  inkObserver_ = makeInkObserver(log_);
  {
    std::lock_guard lock(target_->lock);
    target_->width = mode_.width;
    target_->height = mode_.height;
  }

  WireServer::Config serverConfig;
  serverConfig.port = port_;
  serverConfig.hello = hello(mode_, Wire::Codec::h264);
  serverConfig.psk = psk_;
  serverConfig.pairing = config_.pairing;
  serverConfig.hostAppVersion = HostEntry::kVersion;
  serverConfig.stallProbe = stallProbe_;
  server_ = WireServer::create(std::move(serverConfig));
  advertiser_ = BonjourAdvertiser::create(std::nullopt, port_);
  if (config_.publisherFactory) advertiser_->publisherFactory = config_.publisherFactory;
  encoder_ = makeEncoder(mode_, Wire::Codec::h264);

  if (hasArgument(config_.arguments, "--audio-aac")) {
    server_->setForceAacAudio(true);
    log_("[audio] A/B: forcing AAC-LC (--audio-aac) — the client's PCM bit is ignored");
  }
  advertiser_->onEvent = tagged(log_, "[mdns] ");
  attachSink(*encoder_);
  if (bypassPacing()) log_("[m2] A/B: pacer BYPASSED (LUMENRAIL_NO_PACER) — encode on SCK arrival");
  if (captureBgra()) log_("[m2] A/B: capturing 32BGRA (LUMENRAIL_CAPTURE_BGRA) — NV12 default off");
}

void M2Pipeline::wire() {
  const std::weak_ptr<M2Pipeline> weak = weak_from_this();
  WireServer* server = server_.get();  // its hooks run on its own threads, which stop() joins

  pump_ = CaptureServePump::make(
      mode_.fps, 10, bypassPacing(), uptimeNs, [server] { return server->takeIdrRequest(); },
      [weak](const PixelBufferRef& buffer, uint64_t captureNs, uint64_t, bool force) {
        if (auto self = weak.lock()) {
          self->stallProbe_->noteEmit(captureNs);
          self->encodeFrame(buffer, captureNs, force);
        }
      });

  // Pen and keys reach the desktop through one sink, shared by every client.
  DesktopEnvironment& desktop = *config_.desktop;
  auto inputSink = desktop.makeInputSink(tagged(log_, "[pen] "));
  auto windows = desktop.makeWindowActivator();
  const auto target = target_;
  const Log::Sink penLog = tagged(log_, "[pen] ");
  const std::weak_ptr<DesktopEnvironment> weakDesktop = config_.desktop;
  pen_ = std::make_shared<PenInjectors>(
      [target, inputSink, windows, penLog, weakDesktop](int32_t fd, std::shared_ptr<PointerOwnership> ownership) {
        PenInjector::Platform platform;
        platform.sink = inputSink;
        platform.windows = windows;
        platform.mainDisplayRefreshHz = [weakDesktop] {
          auto desktop = weakDesktop.lock();
          return desktop ? desktop->mainDisplayRefreshHz() : 60.0;
        };
        auto injector = PenInjector::create(
            [target] { return targetRect(*target); },
            [target]() -> std::optional<PenMapper::FrameSize> {
              std::lock_guard lock(target->lock);
              if (!target->alive) return std::nullopt;
              return PenMapper::FrameSize{static_cast<double>(target->width), static_cast<double>(target->height)};
            },
            std::move(ownership), fd, platform);
        injector->onEvent = penLog;
        return injector;
      });
  keys_ = KeyComboInjector::create(inputSink, desktop.makeKeyboardLayout());
  keys_->onEvent = tagged(log_, "[keys] ");
  foreground_ = std::make_shared<ForegroundAppWatcher>(0.4, desktop.makeForegroundSource());
  foreground_->onEvent = tagged(log_, "[fg] ");
  foreground_->onChange = [server](const std::string& stem) { server->broadcastForegroundApp(stem); };

  const auto pen = pen_;
  const auto keys = keys_;
  const auto advertiser = advertiser_;
  const auto foreground = foreground_;
  WireServer::Hooks hooks;
  hooks.onEvent = tagged(log_, "[wire] ");
  // Any input keeps that client's held keys held.
  hooks.onInput = [pen, keys](const std::vector<Wire::InputSample>& samples, int32_t fd) {
    keys->noteInput(fd);
    pen->submit(samples, fd);
  };
  hooks.onInputCaps = [pen, keys](const Wire::InputCaps& caps, int32_t fd) {
    keys->noteInput(fd);
    pen->updateCaps(caps, fd);
  };
  hooks.onClientDisconnected = [pen, keys, advertiser, server](int32_t fd) {
    pen->clientGone(fd);
    // Only this client's keys: another client may still hold a modifier.
    keys->clientGone(fd);
    const int64_t count = server->clientCount();
    if (count == 0) server->resetViewport();
    advertiser->setBusy(count > 0);
  };
  hooks.onKeyCombo = [keys](const Wire::KeyChord& chord, int32_t fd) { keys->submit(chord, fd); };
  // The owner's hooks go to its main queue straight away, also while a start
  // holds the reconfiguration queue; the pipeline is held weakly there.
  const auto post = config_.postToMain ? config_.postToMain : [](std::function<void()> work) { work(); };
  hooks.onClientMustUpdate = [weak, post](const std::optional<std::string>& name) {
    post([weak, name] {
      if (auto self = weak.lock(); self && self->onClientMustUpdate) self->onClientMustUpdate(name);
    });
  };
  hooks.onClientNamed = [weak, post](const std::string& name, bool overNetwork) {
    post([weak, name, overNetwork] {
      if (auto self = weak.lock(); self && self->onClientNamed) self->onClientNamed(name, overNetwork);
    });
  };
  hooks.onClientConnected = [server, foreground, advertiser] {
    server->broadcastForegroundApp(foreground->current());
    advertiser->setBusy(server->clientCount() > 0);
  };
  wireReconfiguration(hooks);
  wireAudio(hooks);
  server_->setHooks(std::move(hooks));
}

M2Pipeline::Mode M2Pipeline::currentMode() const {
  std::lock_guard lock(encoderLock_);
  return mode_;
}

M2Pipeline::~M2Pipeline() {
  startHold_->signal();  // the queue finishes its held work, which then finds no pipeline
  // Injectors may still map a late sample; they then get no frame size.
  std::lock_guard lock(target_->lock);
  target_->alive = false;
}

void M2Pipeline::attachSink(VideoEncoder& encoder) {
  const auto probe = stallProbe_;
  const auto server = server_;
  encoder.sink = [probe, server](const EncodedFrame& frame) {
    probe->noteEncoded(frame.captureTimeNs);
    server->broadcast(frame.captureTimeNs, frame.isKeyframe, frame.data, Lane::main);
  };
}

void M2Pipeline::say(const std::string& line) const { log_(line); }

bool M2Pipeline::stopped() const {
  std::lock_guard lock(stopFlagLock_);
  return servingStopped_;
}

// ---- start ----------------------------------------------------------------

bool M2Pipeline::startServing() {
  std::lock_guard life(lifecycleLock_);
  if (started_ || tornDown_ || stopped()) return false;
  started_ = true;
  holdReconfigurationForStart();
  const bool serving = startLocked();
  endReconfigurationHold(serving);
  return serving;
}

bool M2Pipeline::startLocked() {
  const Mode mode = currentMode();
  // 1. Display.
  std::shared_ptr<DisplayConfiguration> displays;
  try {
    displays = openDisplays();
  } catch (const std::exception& e) {
    say("[m2] WARN: cannot reach the X display: " + std::string(e.what()));
  }
  {
    std::lock_guard lock(target_->lock);
    target_->displays = displays;
  }
  if (captureMain_) {
    say("[m2] capturing main display (--capture-main)");
  } else {
    bool created = false;
    if (displays) {
      vd_ = std::make_unique<VirtualDisplayManager>(displays, log_);
      created = vd_->create(virtualDisplayConfig(mode), 4);
    }
    if (created) {
      vdId_ = vd_->displayID();
      {
        std::lock_guard lock(target_->lock);
        target_->vdId = vd_->displayID();
      }
      say("[m2] virtual display " + std::to_string(vd_->displayID()) + " created (" + vdLabel(mode) + ")");
    } else {
      vd_.reset();
      say("[m2] WARN: virtual display create failed — falling back to main display capture (mirror)");
      captureMain_ = true;
    }
  }
  if (stopped()) return false;

  // 2-3. Encoder and server.
  try {
    encoder_->start();
    say(std::string("[enc] started, hardware=") + (encoder_->usingHardware() ? "true" : "false"));
    server_->start();
  } catch (const std::exception& e) {
    say("[m2] ERROR: " + std::string(e.what()));
    if (vd_) {
      vd_->destroy();
      vd_.reset();
      vdId_ = 0;
      std::lock_guard lock(target_->lock);
      target_->vdId = 0;
    }
    return false;
  }
  if (stopped()) return false;

  // 4. USB.
  if (usb_) {
    usbBridge_ = UsbmuxServeBridge::create(server_, UsbmuxServeBridge::usbListenPort);
    usbBridge_->onEvent = tagged(log_, "[usb] ");
    usbBridge_->start();
    aoaBridge_ = AoaServeBridge::create(server_);
    aoaBridge_->onEvent = tagged(log_, "[aoa] ");
    aoaBridge_->start();
  }

  // 5. Bonjour. The TXT values are what clients parse: "os" stays as they expect it.
  TxtRecord txt;
  txt[BonjourAdvertiser::Txt::schema] = "1";
  txt[BonjourAdvertiser::Txt::protoVer] = "1";
  // A pairing server serves no network client in the clear either.
  txt[BonjourAdvertiser::Txt::encRequired] = psk_ || config_.pairing ? "1" : "0";
  txt[BonjourAdvertiser::Txt::caps] = "0x1";
  txt[BonjourAdvertiser::Txt::os] = "mac";
  if (config_.pairing) {
    txt[BonjourAdvertiser::Txt::fingerprint] = PairingProtocol::fingerprint(config_.pairing->identity.publicKey());
  }
  advertiser_->start(txt);
  if (stopped()) return false;

  // 6. Capture.
  switch (startCapture(mode, 3)) {
    case CaptureStart::started:
      break;
    case CaptureStart::timedOut:
      say("[m2] capture did not start within 8s — no X display access / headless? (M2 needs a reachable X server "
          "that this user may read)");
      stopLocked();
      return false;
    case CaptureStart::failed:
      say("[m2] capture start failed: " + lastCaptureError_);
      stopLocked();
      return false;
    case CaptureStart::aborted:
      return false;
  }
  if (stopped()) return false;

  // 7. Input access.
  if (config_.desktop->mayPostInput()) {
    say("[pen] Accessibility grant OK — pen/touch + key-combo injection armed");
  } else {
    say("[pen] WARN: no input access (neither /dev/uinput writable nor XTest) — pen/touch + key input will be "
        "DROPPED. Install resources/udev/70-lumenrail-uinput.rules and log in again, or serve an X server with "
        "XTest.");
  }

  // 8. Watchers and pacer.
  foreground_->start();
  pump_->startPacer();
  startStallWatchdog();
  say("[m2] capturing + serving " + label(mode) + " on :" + std::to_string(server_->boundPort()) +
      " — ClientMode reconfigures live; Ctrl-C to stop");
  return true;
}

// ---- stop -----------------------------------------------------------------

void M2Pipeline::stopServing() {
  std::shared_ptr<StartBox> pending;
  {
    std::lock_guard lock(stopFlagLock_);
    servingStopped_ = true;
    pending = pendingStart_;
    stopCv_.notify_all();
  }
  {
    std::lock_guard lock(sideWake_->lock);
    sideWake_->stopped = true;
    sideWake_->cv.notify_all();
  }
  // A start in progress stops waiting for its capture and returns.
  if (pending) {
    std::lock_guard lock(pending->lock);
    pending->cancelled = true;
    pending->cv.notify_all();
  }
  std::lock_guard life(lifecycleLock_);
  stopLocked();
}

void M2Pipeline::stopLocked() {
  if (tornDown_) return;
  tornDown_ = true;
  {
    std::lock_guard lock(stopFlagLock_);
    servingStopped_ = true;
  }
  cancelHealthTimers();
  quiesceReconfiguration();
  foreground_->stop();
  advertiser_->stop();
  if (usbBridge_) usbBridge_->stop();
  usbBridge_.reset();
  if (aoaBridge_) aoaBridge_->stop();
  aoaBridge_.reset();
  stopAudioForTeardown();
  stopCapture();
  pump_->stop();
  server_->stop();
  std::shared_ptr<VideoEncoder> encoder;
  {
    std::lock_guard lock(encoderLock_);
    encoder = encoder_;
  }
  encoder->finish();
  encoder->stop();
  stopSmallLane();
  if (vd_) {
    vd_->destroy();
    vd_.reset();
  }
  vdId_ = 0;
  {
    std::lock_guard lock(target_->lock);
    target_->vdId = 0;
  }
  joinStartThreads();
}

void M2Pipeline::keepStartThread(NamedThread thread) {
  // Threads that have ended are joined here, so the list does not grow.
  std::vector<NamedThread> ended;
  {
    std::lock_guard lock(startThreadsLock_);
    for (auto it = startThreads_.begin(); it != startThreads_.end();) {
      if (it->finished()) {
        ended.push_back(std::move(*it));
        it = startThreads_.erase(it);
      } else {
        ++it;
      }
    }
    startThreads_.push_back(std::move(thread));
  }
  for (auto& t : ended) t.join();
}

void M2Pipeline::joinStartThreads() {
  // Starts that finished late have stopped their own capture or audio by now.
  std::vector<NamedThread> threads;
  {
    std::lock_guard lock(startThreadsLock_);
    threads.swap(startThreads_);
  }
  // One deadline for all of them: threads stuck on one server are waited for
  // side by side, not one bound after another.
  const uint64_t deadline = uptimeNs() + kCaptureStopWaitNs;
  for (auto& t : threads) {
    const uint64_t now = uptimeNs();
    if (!t.joinFor(deadline > now ? deadline - now : 0)) {
      say("[m2] WARN: " + t.name() + " is still blocked — left to finish on its own");
      t.detach();
    }
  }
}

// ---- capture --------------------------------------------------------------

M2Pipeline::CaptureStart M2Pipeline::startCapture(const Mode& mode, int64_t attempts) {
  if (vd_) vd_->ensureExtended();
  const int64_t n = std::max<int64_t>(attempts, 1);
  for (int64_t i = 0; i < n; ++i) {
    const CaptureStart result = startCaptureOnce(mode);
    if (result != CaptureStart::failed) return result;
    if (i + 1 == n) return result;
    std::unique_lock lock(stopFlagLock_);
    if (stopCv_.wait_for(lock, std::chrono::nanoseconds(kCaptureRetryNs), [&] { return servingStopped_; })) {
      return CaptureStart::aborted;
    }
  }
  return CaptureStart::failed;
}

M2Pipeline::CaptureStart M2Pipeline::startCaptureOnce(const Mode& mode) {
  if (everCaptured_ && faultCaptureTimeouts_ > 0) {
    --faultCaptureTimeouts_;
    say("[m2] FAULT: simulated capture-start timeout (" + std::to_string(faultCaptureTimeouts_) + " left)");
    return CaptureStart::timedOut;
  }
  CaptureRequest request;
  request.width = mode.width;
  request.height = mode.height;
  request.fps = mode.fps;
  request.displayID = vd_ ? vd_->displayID() : 0;
  request.showsCursor = true;
  request.pixelFormat = captureBgra() ? PixelFormat::bgra : PixelFormat::nv12FullRange;
  auto source = config_.desktop->makeCapture(request);
  auto gate = std::make_shared<FrameGate>();
  const auto pump = pump_;
  const auto server = server_;
  const auto ink = inkObserver_;
  source->onFrame = [gate, pump, server, ink](const PixelBufferRef& buffer, uint64_t captureNs) {
    if (!gate->open.load()) return;
    if (ink && ink->observe(*buffer)) server->broadcastInkObserved(captureNs);
    pump->submit(buffer, captureNs);
  };
  const Log::Sink log = log_;
  // A capture the pipeline stops itself has its gate closed first and never gets here.
  source->onStop = [gate, weak = weak_from_this(), stoppedSource = std::weak_ptr<CaptureSource>(source)](
                       std::exception_ptr error) {
    if (!gate->open.load()) return;
    if (auto self = weak.lock()) {
      self->handleCaptureStopped(stoppedSource, error ? std::optional(describeError(error)) : std::nullopt);
    }
  };
  source->log = log_;

  auto box = std::make_shared<StartBox>();
  {
    std::lock_guard lock(stopFlagLock_);
    if (servingStopped_) return CaptureStart::aborted;
    pendingStart_ = box;
  }
  const auto hook = config_.beforeCaptureStart;
  NamedThread thread("lumenrail-m2-capture-start", [box, source, gate, hook, log] {
    std::exception_ptr error;
    try {
      if (hook) hook();
      source->start();
    } catch (...) {
      error = std::current_exception();
    }
    if (box->finish(error)) {
      gate->open = false;
      if (!error) {
        source->stop();
        log("[m2] capture started after its wait gave up — stopped it again");
      }
    }
  });
  keepStartThread(std::move(thread));

  const StartWait wait = awaitStart(box, config_.captureStartWaitNs);
  if (!wait.done) {
    gate->open = false;
    return wait.cancelled ? CaptureStart::aborted : CaptureStart::timedOut;
  }
  if (wait.error) {
    lastCaptureError_ = describeError(wait.error);
    return CaptureStart::failed;
  }
  source_ = source;
  sourceGate_ = gate;
  everCaptured_ = true;
  kickFirstFrame(source->deliveryCount());
  return CaptureStart::started;
}

bool M2Pipeline::StartBox::finish(std::exception_ptr failure) {
  std::lock_guard guard(lock);
  done = true;
  error = std::move(failure);
  cv.notify_all();
  return abandoned;
}

M2Pipeline::StartWait M2Pipeline::awaitStart(const std::shared_ptr<StartBox>& box, uint64_t waitNs) {
  StartWait wait;
  {
    std::unique_lock lock(box->lock);
    box->cv.wait_for(lock, std::chrono::nanoseconds(waitNs), [&] { return box->done || box->cancelled; });
    wait = {box->done, box->cancelled, box->error};
    if (!wait.done) box->abandoned = true;
  }
  std::lock_guard flag(stopFlagLock_);
  pendingStart_.reset();
  return wait;
}

void M2Pipeline::stopCapture() {
  if (!source_) return;
  auto source = std::move(source_);
  source_.reset();
  if (sourceGate_) sourceGate_->open = false;
  sourceGate_.reset();
  // Bounded by the source itself (its capture thread is joined for at most 5 s).
  source->stop();
}

// ---- frames ---------------------------------------------------------------

void M2Pipeline::encodeFrame(const PixelBufferRef& buffer, uint64_t captureNs, bool force) {
  std::shared_ptr<VideoEncoder> encoder;
  std::shared_ptr<VideoEncoder> smallEncoder;
  std::optional<Mode> smallMode;
  Mode mode;
  {
    std::lock_guard lock(encoderLock_);
    encoder = encoder_;
    smallEncoder = smallEncoder_;
    smallMode = smallMode_;
    mode = mode_;
  }
  const int64_t frameW = mode.width;
  const int64_t frameH = mode.height;
  const Wire::ViewportRectQ16 desired = server_->desiredViewport();
  const PixelRect rect = ViewportGeometry::pixels(desired, frameW, frameH);
  if (rect != lastAppliedViewport_) {
    server_->broadcastViewportApplied(ViewportGeometry::toQ16(rect, frameW, frameH));
    lastAppliedViewport_ = rect;
    viewportIdrPending_ = true;
  }

  bool keyframe = false;
  if (viewportIdrPending_ && captureNs - lastViewportIdrNs_ >= kViewportIdrMinIntervalNs) {
    say("[m2] viewport IDR (throttled ≥250ms)");
    viewportIdrPending_ = false;
    lastViewportIdrNs_ = captureNs;
    keyframe = true;
  } else if (force) {
    viewportIdrPending_ = false;
    lastViewportIdrNs_ = captureNs;
    keyframe = true;
  }

  PixelBufferRef frame = buffer;
  if (!desired.isFull()) {
    if (auto cropped = viewportCropper_.crop(buffer, rect, frameW, frameH)) frame = std::move(cropped);
  }
  try {
    encoder->encode(frame, captureNs, keyframe);
  } catch (const std::exception&) {
    // One lost frame; the next keyframe request recovers the stream.
  }
  encodeSmallLane(frame, captureNs, keyframe, smallEncoder, smallMode);
}

}  // namespace lumenrail

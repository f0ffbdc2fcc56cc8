#include "session/M2Pipeline.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "secure/PairingProtocol.hpp"
#include "text/L10n.hpp"
#include "text/ProductIdentity.hpp"

namespace lumenrail {

namespace {

Log::Sink orStdout(Log::Sink sink) {
  if (sink) return sink;
  return [](const std::string& line) { Log::line(line); };
}

Log::Sink tagged(const Log::Sink& log, std::string tag) {
  return [log, tag = std::move(tag)](const std::string& line) { log(tag + line); };
}

std::shared_ptr<InkObserver> makeInkObserver(const std::optional<InkObserver::Config>& ink, const Log::Sink& log) {
  if (!ink) return nullptr;
  log("[ink] pen-to-ink instrumentation ON — watching rect (" + std::to_string(ink->x) + "," + std::to_string(ink->y) +
      " " + std::to_string(ink->width) + "x" + std::to_string(ink->height) + "); emitting InkObserved (0x0A)");
  return std::make_shared<InkObserver>(*ink);
}

}  // namespace

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
      waits_(std::make_shared<BoundedWaits>(log_)),
      reconfigQueue_(std::make_shared<SerialQueue>(kReconfigQueueLabel)) {}

M2Pipeline::~M2Pipeline() {
  startHold_->signal();  // the queue finishes its held work, which then finds no pipeline
}

std::function<void(std::function<void()>)> M2Pipeline::queuePoster() {
  return [weak = weak_from_this()](std::function<void()> work) {
    if (auto self = weak.lock()) self->postReconfig([work = std::move(work)](M2Pipeline&) { work(); });
  };
}

void M2Pipeline::wire() {
  const std::weak_ptr<M2Pipeline> weak = weak_from_this();
  const Mode mode = config_.mode;
  const ServeSwitches& switches = config_.switches;
  DesktopEnvironment& desktop = *config_.desktop;

  // ---- the parts --------------------------------------------------------------
  const auto stallProbe = std::make_shared<FrameStallProbe>(100.0, 300.0, tagged(log_, "[stall] "));
  const auto ink = makeInkObserver(switches.ink, log_);
  WireServer::Config serverConfig;
  serverConfig.port = config_.port;
  serverConfig.hello = hello(mode, Wire::Codec::h264);
  serverConfig.psk = config_.psk;
  serverConfig.pairing = config_.pairing;
  serverConfig.hostAppVersion = ProductIdentity::kVersion;
  serverConfig.stallProbe = stallProbe;
  server_ = WireServer::create(std::move(serverConfig));
  advertiser_ = BonjourAdvertiser::create(std::nullopt, config_.port);
  if (config_.publisherFactory) advertiser_->publisherFactory = config_.publisherFactory;
  if (switches.audioForceAac) {
    server_->setForceAacAudio(true);
    log_("[audio] A/B: forcing AAC-LC (--audio-aac) — the client's PCM bit is ignored");
  }
  advertiser_->onEvent = tagged(log_, "[mdns] ");
  if (switches.bypassPacing) log_("[m2] A/B: pacer BYPASSED (LUMENRAIL_NO_PACER) — encode on each captured frame");
  if (switches.captureBgra) log_("[m2] A/B: capturing 32BGRA (LUMENRAIL_CAPTURE_BGRA) — NV12 default off");

  WireServer* server = server_.get();  // its hooks run on its own threads, which stop() joins
  // Each lane's frames, from the pump to its clients; the server's hooks tell
  // the main lane what the clients ask of the video.
  const auto smallVideo =
      std::make_shared<VideoStream>(VideoStream::Config{Lane::small, server_, nullptr, log_, uptimeNs, nullptr});
  video_ =
      std::make_shared<VideoStream>(VideoStream::Config{Lane::main, server_, stallProbe, log_, uptimeNs, smallVideo});
  const std::weak_ptr<VideoStream> video = video_;
  pump_ = CaptureServePump::make(
      mode.fps, 10, switches.bypassPacing, uptimeNs,
      [video] {
        auto stream = video.lock();
        return stream && stream->takeKeyframe();
      },
      [video](const PixelBufferRef& buffer, uint64_t captureNs, uint64_t, bool force) {
        if (auto stream = video.lock()) stream->frame(buffer, captureNs, force);
      });

  display_ = std::make_shared<DisplayModeControl>(DisplayModeControl::Config{
      config_.desktop, log_, config_.captureMain, config_.penHighRate, switches.virtualDisplayHz, mode});
  // The rebuild steps run inside work the pipeline posted, while it exists.
  lanes_ = std::make_shared<LaneEncoders>(LaneEncoders::Config{
      config_.desktop, server_, pump_, log_, mode,
      LaneEncoders::RebuildSteps{[this](const Mode& m) { takeDownForRebuild(m); },
                                 [this](const Mode& m) { return bringUpAfterRebuild(m); },
                                 [this] { capture_->armRecovery(); }},
      video_, smallVideo});
  const auto lanes = lanes_;
  const auto display = display_;
  CaptureControl::Config capture;
  capture.desktop = config_.desktop;
  capture.server = server_;
  capture.clientCount = [server = server_] { return server->clientCount(); };
  capture.pump = pump_;
  capture.waits = waits_;
  capture.timers = config_.healthTimers ? config_.healthTimers : std::shared_ptr<Executor>(reconfigQueue_);
  capture.post = queuePoster();
  capture.log = log_;
  capture.captureBgra = switches.captureBgra;
  capture.faultCaptureTimeouts = switches.faultCaptureTimeouts;
  capture.ink = ink;
  capture.startWaitNs = config_.captureStartWaitNs;
  capture.beforeStart = config_.beforeCaptureStart;
  capture.mode = [lanes] { return lanes->mode(); };
  capture.prepareDisplay = [display] { return display->prepareCapture(); };
  capture.onRecovered = [server = server_, lanes] { server->rebroadcastHello(hello(lanes->mode(), lanes->codec())); };
  capture.onOutage = [server = server_](bool down) { server->setCaptureDown(down); };
  capture_ = CaptureControl::create(std::move(capture));
  audio_ = AudioPassthrough::create(AudioPassthrough::Config{
      config_.desktop, server_, waits_, queuePoster(), log_, switches.audio, switches.audioForceSck,
      config_.audioStartWaitNs, [display] { return display->displayID(); }});

  // Pen and keys reach the desktop through one sink, shared by every client.
  auto inputSink = desktop.makeInputSink(tagged(log_, "[pen] "));
  auto windows = desktop.makeWindowActivator();
  const Log::Sink penLog = tagged(log_, "[pen] ");
  const std::weak_ptr<DesktopEnvironment> weakDesktop = config_.desktop;
  pen_ = std::make_shared<PenInjectors>([targetRect = display_->targetRect(), frameSize = display_->frameSize(),
                                         inputSink, windows, penLog, weakDesktop, penRateHz = switches.penRateHz,
                                         trace = switches.inputTrace](int32_t fd,
                                                                      std::shared_ptr<PointerOwnership> ownership) {
    PenInjector::Platform platform;
    platform.sink = inputSink;
    platform.windows = windows;
    platform.penRateHz = penRateHz;
    platform.trace = trace;
    platform.mainDisplayRefreshHz = [weakDesktop] {
      auto desktop = weakDesktop.lock();
      return desktop ? desktop->mainDisplayRefreshHz() : 60.0;
    };
    auto injector = PenInjector::create(targetRect, frameSize, std::move(ownership), fd, platform);
    injector->onEvent = penLog;
    return injector;
  });
  keys_ = KeyComboInjector::create(inputSink, desktop.makeKeyboardLayout());
  keys_->onEvent = tagged(log_, "[keys] ");
  foreground_ = std::make_shared<ForegroundAppWatcher>(0.4, desktop.makeForegroundSource());
  foreground_->onEvent = tagged(log_, "[fg] ");
  foreground_->onChange = [server](const std::string& stem) { server->broadcastForegroundApp(stem); };
  wishes_ = std::make_shared<PendingWishes>(
      config_.wishTimers ? config_.wishTimers : std::shared_ptr<Executor>(reconfigQueue_), [weak] {
        if (auto self = weak.lock()) self->postReconfig([](M2Pipeline& p) { p.applyWishes(); });
      });

  wireServerHooks();
}

// Every hook of the server, in one place: what each client packet and client
// event does to the session.
void M2Pipeline::wireServerHooks() {
  const std::weak_ptr<M2Pipeline> weak = weak_from_this();
  WireServer* server = server_.get();  // its hooks run on its own threads, which stop() joins
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
  hooks.onKeyCombo = [keys](const Wire::KeyChord& chord, int32_t fd) { keys->submit(chord, fd); };
  hooks.onClientMode = [weak](const Wire::ClientMode& request, int32_t fd) {
    if (auto self = weak.lock()) self->requestClientMode(request, fd);
  };
  hooks.onClientConnected = [server, foreground, advertiser, weak] {
    server->broadcastForegroundApp(foreground->current());
    advertiser->setBusy(server->clientCount() > 0);
    if (auto self = weak.lock()) {
      self->postReconfig([](M2Pipeline& p) { p.display_->promote(p.display_->penHighRate(), p.lanes_->mode()); });
    }
  };
  hooks.onClientDisconnected = [pen, keys, advertiser, server, weak](int32_t fd) {
    pen->clientGone(fd);
    // Only this client's keys: another client may still hold a modifier.
    keys->clientGone(fd);
    const int64_t count = server->clientCount();
    if (count == 0) server->resetViewport();
    advertiser->setBusy(count > 0);
    auto self = weak.lock();
    if (!self) return;
    self->clientDeparted(fd);
    if (server->clientCount() == 0) {
      self->postReconfig([](M2Pipeline& p) { p.display_->promote(false, p.lanes_->mode()); });
    }
  };
  // The owner's hooks go to its main queue straight away, also while a start
  // holds the reconfiguration queue; the pipeline is held weakly there.
  const auto main = config_.mainQueue;
  const auto post = [main](std::function<void()> work) {
    if (main) {
      main->post(std::move(work));
    } else {
      work();
    }
  };
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
  // What the clients want of the stream waits for its settle; the value is
  // read from the server when it is applied.
  const auto wishes = wishes_;
  hooks.onAudioWantedChanged = [wishes](bool) { wishes->audioChanged(); };
  hooks.onHevcWantedChanged = [wishes](bool) { wishes->codecChanged(); };
  hooks.onEncoderConfigChanged = [wishes](const Wire::EncoderConfigRequest&) { wishes->settingsChanged(); };
  // Last: it runs the departure above after forgetting the client's keyframe requests.
  video_->listen(hooks);
  server_->setHooks(std::move(hooks));
}

// ---- start ----------------------------------------------------------------

bool M2Pipeline::startServing() {
  std::lock_guard life(lifecycleLock_);
  if (started_ || tornDown_ || waits_->stopped()) return false;
  started_ = true;
  startFailure_.clear();
  holdReconfigurationForStart();
  const bool serving = startLocked();
  endReconfigurationHold(serving);
  return serving;
}

bool M2Pipeline::startLocked() {
  const Mode mode = lanes_->mode();
  // A port another host holds fails the start: say so before a display is added for nothing.
  if (config_.port != 0 && WireServer::portInUse(config_.port)) {
    say("[m2] ERROR: " + WireServer::portInUseText(config_.port));
    startFailure_ = L10n::text("failure.portInUse", std::to_string(config_.port));
    return false;
  }
  // 1. Display.
  display_->start(mode);
  if (waits_->stopped()) return false;

  // 2-3. Encoder and server.
  try {
    lanes_->startMain();
    server_->start();
  } catch (const WireServer::ServerError& e) {
    say("[m2] ERROR: " + WireServer::startErrorText(e, config_.port));
    startFailure_ = e.kind == WireServer::ServerErrorKind::bind && e.err == EADDRINUSE
                        ? L10n::text("failure.portInUse", std::to_string(config_.port))
                        : L10n::text("failure.network", std::string(std::strerror(e.err)));
    display_->dropVirtualDisplay();
    return false;
  } catch (const std::exception& e) {
    say("[m2] ERROR: " + std::string(e.what()));
    startFailure_ = L10n::text("failure.other", std::string(e.what()));
    display_->dropVirtualDisplay();
    return false;
  }
  if (waits_->stopped()) return false;

  // 4. USB.
  if (config_.usb) {
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
  txt[BonjourAdvertiser::Txt::encRequired] = config_.psk || config_.pairing ? "1" : "0";
  txt[BonjourAdvertiser::Txt::caps] = "0x1";
  txt[BonjourAdvertiser::Txt::os] = "mac";
  if (config_.pairing) {
    txt[BonjourAdvertiser::Txt::fingerprint] = PairingProtocol::fingerprint(config_.pairing->identity.publicKey());
  }
  // With port 0 only the listener knows the port clients must dial.
  advertiser_->setPort(server_->boundPort());
  advertiser_->start(txt);
  if (waits_->stopped()) return false;

  // 6. Capture.
  switch (capture_->start(mode, 3)) {
    case CaptureStart::started:
      break;
    case CaptureStart::timedOut:
      say("[m2] capture did not start within 8s — no display access / headless? (M2 needs a reachable display "
          "server that this user may read)");
      startFailure_ = L10n::text("failure.capture");
      stopLocked();
      return false;
    case CaptureStart::failed:
      say("[m2] capture start failed: " + capture_->lastError());
      startFailure_ = L10n::text("failure.capture");
      stopLocked();
      return false;
    case CaptureStart::aborted:
      return false;
  }
  if (waits_->stopped()) return false;

  // 7. Input access.
  if (config_.desktop->mayPostInput()) {
    say("[pen] input access OK — pen/touch + key-combo injection armed");
  } else {
    const auto why = config_.desktop->whyNoInput();
    say("[pen] WARN: no input access (" + why.reason + ") — pen/touch + key input will be DROPPED." +
        (why.remedy.empty() ? "" : " " + why.remedy));
  }

  // 8. Watchers and pacer.
  foreground_->start();
  pump_->startPacer();
  capture_->startWatchdog();
  say("[m2] capturing + serving " + label(mode) + " on :" + std::to_string(server_->boundPort()) +
      " — ClientMode reconfigures live; Ctrl-C to stop");
  return true;
}

// ---- stop -----------------------------------------------------------------

void M2Pipeline::stopServing() {
  // A start in progress stops waiting for its capture and returns.
  waits_->stop();
  std::lock_guard life(lifecycleLock_);
  stopLocked();
}

void M2Pipeline::stopLocked() {
  if (tornDown_) return;
  tornDown_ = true;
  waits_->stop();
  capture_->cancelTimers();
  wishes_->stop();
  quiesceReconfiguration();
  foreground_->stop();
  advertiser_->stop();
  if (usbBridge_) usbBridge_->stop();
  usbBridge_.reset();
  if (aoaBridge_) aoaBridge_->stop();
  aoaBridge_.reset();
  // A start still blocked is joined (bounded) with the other start threads.
  reconfigQueue_->sync([audio = audio_] { audio->stop(); });
  capture_->stop();
  pump_->stop();
  server_->stop();
  lanes_->stop();
  display_->dropVirtualDisplay();
  // Starts that finished late have stopped their own capture or audio by now.
  waits_->joinAll(kCaptureStopWaitNs);
}

// ---- the reconfiguration queue ----------------------------------------------------

void M2Pipeline::holdReconfigurationForStart() {
  // However long the start takes, changes that arrive meanwhile run after it:
  // every way out of a start, a stop and the destructor end the hold.
  reconfigQueue_->async([hold = startHold_] { hold->wait(); });
}

void M2Pipeline::endReconfigurationHold(bool serving) {
  reconfigOpen_ = serving;
  startHold_->signal();
}

void M2Pipeline::quiesceReconfiguration() {
  startHold_->signal();
  reconfigQueue_->sync([] {});
}

void M2Pipeline::postReconfig(std::function<void(M2Pipeline&)> work) {
  reconfigQueue_->async([weak = weak_from_this(), work = std::move(work)] {
    auto self = weak.lock();
    if (!self || !self->reconfigOpen_.load() || self->waits_->stopped()) return;
    work(*self);
  });
}

void M2Pipeline::takeDownForRebuild(const Mode& m) {
  capture_->stop();
  pump_->reset(std::pair{m.width, m.height});
  pump_->setPaceHz(m.fps);
}

M2Pipeline::RebuildResult M2Pipeline::bringUpAfterRebuild(const Mode& m) {
  display_->followMode(m, server_->clientCount() > 0);
  server_->rebroadcastHello(hello(m, lanes_->codec()));
  switch (capture_->start(m, 3)) {
    case CaptureStart::started:
      return RebuildResult::rebuilt;
    case CaptureStart::timedOut:
      say("[m2] capture restart timed out");
      return RebuildResult::captureDown;
    case CaptureStart::failed:
      say("[m2] capture restart failed: " + capture_->lastError());
      return RebuildResult::captureDown;
    case CaptureStart::aborted:
      return RebuildResult::captureDown;
  }
  return RebuildResult::captureDown;
}

M2Pipeline::ReconfigState M2Pipeline::reconfigState() {
  return reconfigQueue_->sync([this] {
    ReconfigState state;
    state.mode = lanes_->mode();
    state.codec = lanes_->codec();
    state.captureMain = display_->mirroring();
    state.primary = primaryClientFd_;
    state.lastModes = lastMode_;
    state.smallMode = lanes_->smallMode();
    state.smallMembers = lanes_->smallMembers();
    state.penHighRate = display_->penHighRate();
    state.penHighRateApplied = display_->penHighRateApplied();
    state.vdId = display_->displayID();
    state.desiredEncoderConfig = lanes_->desiredSettings();
    state.captureRecoveryRequests = capture_->health().captureRecoveryRequests;
    return state;
  });
}

}  // namespace lumenrail

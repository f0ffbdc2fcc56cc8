#include "app/controller/ServingLifecycle.hpp"

#include <utility>

#include "settings/OpenServing.hpp"
#include "text/L10n.hpp"

namespace lumenrail {

ServingLifecycle::ServingLifecycle(Ports ports, Hooks hooks) : ports_(std::move(ports)), hooks_(std::move(hooks)) {}

void ServingLifecycle::run(const std::function<void()>& hook) {
  if (hook) hook();
}

void ServingLifecycle::say(const std::string& line) const {
  if (ports_.log) ports_.log(line);
}

void ServingLifecycle::sayError(const std::string& line) const {
  if (ports_.errorLog) {
    ports_.errorLog(line);
  } else {
    Log::lineTo(2, line);
  }
}

ServingPhase ServingLifecycle::phase() const {
  return static_cast<ServingPhase>((serving_ ? 2 : 0) + (transitioning_ ? 1 : 0));
}

ServingSession* ServingLifecycle::steadySession() const {
  return serving_ && !transitioning_ ? session_.get() : nullptr;
}

std::shared_ptr<PairedDevicesStore> ServingLifecycle::pairedDevices() const {
  return pairing_ ? pairing_->peers : nullptr;
}

std::optional<PairingPrologue::Pairing> ServingLifecycle::pairingIfEnabled(const HostSettings& settings) {
  if (!settings.pairingEnabled) return std::nullopt;
  // A failed load is tried again at the next start; a loaded one is kept.
  if (!pairing_ && ports_.loadPairing) pairing_ = ports_.loadPairing();
  return pairing_;
}

ServingLifecycle::Made ServingLifecycle::makeSession(const HostSettings& settings) {
  // A fresh key at every start: the QR link shows the latest one.
  psk_ = settings.servesKeyOnlyLinks() && ports_.randomKey ? std::optional<Bytes>(ports_.randomKey(kPskBytes))
                                                           : std::nullopt;
  SessionConfig config;
  config.width = settings.width;
  config.height = settings.height;
  config.fps = settings.fps;
  config.port = settings.port;
  config.captureMain = settings.captureMain;
  config.usb = settings.usbEnabled;
  config.psk = psk_;
  config.pairing = pairingIfEnabled(settings);
  // With pairing on there is no key to fall back on unless key-only links
  // are allowed: serving without pairing would let anyone on the network in.
  if (settings.pairingEnabled && !config.pairing && !config.psk) {
    transitioning_ = false;
    run(hooks_.refreshGlyph);
    sayError("[menubar] ERROR: pairing is on but cannot start (see host log) — not serving");
    return {};
  }
  config.penHighRate = settings.penHighRate;
  std::shared_ptr<ServingSession> session;
  try {
    session = ports_.makeSession(config);
  } catch (const std::exception& e) {
    // The reason is what the user acts on (a desktop the host cannot serve names the ones it can).
    transitioning_ = false;
    run(hooks_.refreshGlyph);
    sayError("[menubar] ERROR: " + std::string(e.what()));
    return {};
  }
  if (!session) {
    transitioning_ = false;
    sayError("[menubar] pipeline failed to start (see host log)");
    showStartFailure("");
    run(hooks_.refreshGlyph);
    return {};
  }
  return {session, OpenServing::isOpen(config.pairing.has_value(), config.psk.has_value())};
}

void ServingLifecycle::start(const HostSettings& settings) {
  if (serving_ || transitioning_ || quitting_) return;
  transitioning_ = true;
  startFailure_.reset();
  run(hooks_.refreshGlyph);
  const auto [session, open] = makeSession(settings);
  if (!session) return;
  if (hooks_.prepare) hooks_.prepare(*session);
  if (ports_.displayAwake) ports_.displayAwake->acquire();
  // Said before anything listens, at every start: nothing else would tell the owner.
  servingOpen_ = open;
  if (servingOpen_) {
    say(OpenServing::warning("menubar", "turn on pairing in Settings, or start with --pair"));
    run(hooks_.refreshPanel);
  }
  starting_ = session;
  ports_.serveQueue->post([weak = weak_from_this(), session = session, startedWith = settings, main = ports_.main] {
    const bool ok = session->startServing();
    const std::string failure = ok ? std::string() : session->startFailure();
    main->post([weak, session, startedWith, ok, failure] {
      if (auto self = weak.lock()) self->finishStart(session, startedWith, ok, failure);
    });
  });
}

void ServingLifecycle::finishStart(std::shared_ptr<ServingSession> session, const HostSettings& startedWith, bool ok,
                                   const std::string& failure) {
  starting_.reset();
  transitioning_ = false;
  if (ok) {
    session_ = std::move(session);
    serving_ = true;
    runningSettings_ = startedWith;
    if (!quitting_) run(hooks_.started);
  } else {
    session_.reset();
    serving_ = false;
    runningSettings_.reset();
    servingOpen_ = false;
    if (ports_.displayAwake) ports_.displayAwake->release();
    sayError("[menubar] pipeline failed to start (see host log)");
    showStartFailure(failure);
  }
  run(hooks_.refreshGlyph);
  run(hooks_.settled);
}

void ServingLifecycle::showStartFailure(const std::string& reason) {
  startFailure_ = reason.empty() ? L10n::text("failure.unknown") : reason;
  if (!ports_.notifier) return;
  Notifier::Notification notice;
  notice.id = "lumenrail.startFailed";
  notice.title = L10n::text("panel.startFailed.title");
  notice.body = *startFailure_;
  ports_.notifier->post(notice, [log = ports_.log](const std::string& error) {
    if (!error.empty() && log) log("[menubar] the failed start could not be notified: " + error);
  });
}

void ServingLifecycle::stop(std::function<void()> then) {
  if (!session_ || transitioning_) return;
  transitioning_ = true;
  run(hooks_.refreshGlyph);
  ports_.serveQueue->post([weak = weak_from_this(), session = session_, then = std::move(then), main = ports_.main] {
    session->stopServing();
    main->post([weak, then] {
      if (auto self = weak.lock()) self->finishStop(then);
    });
  });
}

void ServingLifecycle::finishStop(const std::function<void()>& then) {
  session_.reset();
  serving_ = false;
  runningSettings_.reset();
  servingOpen_ = false;
  transitioning_ = false;
  run(hooks_.stopped);
  if (ports_.displayAwake) ports_.displayAwake->release();
  run(hooks_.refreshGlyph);
  run(hooks_.settled);
  if (then) then();
}

void ServingLifecycle::quit(std::function<void(bool clean)> finished) {
  quitting_ = true;
  // Told once: by the stop, or by the bound when the stop does not return.
  auto once = std::make_shared<std::function<void(bool)>>(std::move(finished));
  auto finish = [once](bool clean) {
    if (auto told = std::exchange(*once, nullptr)) told(clean);
  };
  // A session that is starting is stopped once its start has returned: the
  // serve queue runs the stop behind it.
  const auto session = session_ ? session_ : starting_;
  if (!session) {
    finish(true);
    return;
  }
  say("[menubar] quitting — stopping serving first");
  const std::weak_ptr<ServingLifecycle> weak = weak_from_this();
  quitBound_ = ports_.main->startTimer(kQuitWaitNs, 0, [weak, finish] {
    auto self = weak.lock();
    if (!self) return;
    self->say("[menubar] WARN: serving did not stop within " + std::to_string(kQuitWaitNs / kNsPerSecond) +
              " s — quitting anyway");
    finish(false);
  });
  ports_.serveQueue->post([weak, session, finish, main = ports_.main] {
    session->stopServing();
    main->post([weak, finish] {
      auto self = weak.lock();
      if (!self) return;
      self->quitBound_.cancel();
      self->session_.reset();
      self->serving_ = false;
      if (self->ports_.displayAwake) self->ports_.displayAwake->release();
      finish(true);
    });
  });
}

void ServingLifecycle::stopNow() {
  quitting_ = true;
  // On the serve queue and waited for: a start in flight finishes first.
  if (const auto session = session_ ? session_ : starting_) {
    ports_.serveQueue->postAndWait([session] { session->stopServing(); });
    if (ports_.displayAwake) ports_.displayAwake->release();
  }
}

}  // namespace lumenrail

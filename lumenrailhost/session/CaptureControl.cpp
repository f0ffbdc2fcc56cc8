#include "session/CaptureControl.hpp"

#include <algorithm>
#include <cmath>

namespace lumenrail {

namespace {

constexpr double kRecoveryMaxDelaySeconds = 10;
constexpr int64_t kRecoveryLogEvery = 10;

}  // namespace

std::shared_ptr<CaptureControl> CaptureControl::create(Config config) {
  return std::shared_ptr<CaptureControl>(new CaptureControl(std::move(config)));
}

CaptureControl::CaptureControl(Config config)
    : config_(std::move(config)), faultsLeft_(config_.faultCaptureTimeouts) {}

CaptureControl::Health CaptureControl::health() const {
  return {stallBackoffNs_, recoveryArmed_, recoveryAttempt_, recoveryRequests_};
}

// ---- start and stop -------------------------------------------------------------

CaptureControl::Start CaptureControl::start(const Mode& mode, int64_t attempts) {
  const int64_t n = std::max<int64_t>(attempts, 1);
  for (int64_t i = 0; i < n; ++i) {
    const Start result = prepareAndStartOnce(mode);
    if (result != Start::failed || i + 1 == n) return result;
    if (!config_.waits->pause(kRetryNs)) return Start::aborted;
  }
  return Start::failed;
}

// A display server between two lives (a Mutter restarted, its names not yet
// taken) refuses the display's preparation or the capture's making: that is a
// failed start, retried and then recovered like any other, not a throw that
// ends the queue's task with nothing left to bring the capture back.
CaptureControl::Start CaptureControl::prepareAndStartOnce(const Mode& mode) {
  try {
    return startOnce(mode, config_.prepareDisplay ? config_.prepareDisplay() : 0);
  } catch (const std::exception& e) {
    lastError_ = e.what();
    return Start::failed;
  }
}

CaptureControl::Start CaptureControl::startOnce(const Mode& mode, uint32_t displayID) {
  if (everCaptured_ && faultsLeft_ > 0) {
    --faultsLeft_;
    say("[m2] FAULT: simulated capture-start timeout (" + std::to_string(faultsLeft_) + " left)");
    return Start::timedOut;
  }
  CaptureRequest request;
  request.width = mode.width;
  request.height = mode.height;
  request.fps = mode.fps;
  request.displayID = displayID;
  request.showsCursor = true;
  request.pixelFormat = config_.captureBgra ? PixelFormat::bgra : PixelFormat::nv12FullRange;
  auto source = config_.desktop->makeCapture(request);
  frameOrigin_ = source->frameOrigin();
  auto gate = std::make_shared<Gate>();
  source->onFrame = [gate, pump = config_.pump, server = config_.server, ink = config_.ink](
                        const PixelBufferRef& buffer, uint64_t captureNs) {
    if (!gate->open.load()) return;
    ++gate->frames;
    if (ink && ink->observe(*buffer)) server->broadcastInkObserved(captureNs);
    pump->submit(buffer, captureNs);
  };
  // A capture stopped here has its gate closed first and never gets there.
  source->onStop = [gate, weak = weak_from_this(), stopped = std::weak_ptr<CaptureSource>(source)](
                       std::exception_ptr error) {
    if (!gate->open.load()) return;
    if (auto self = weak.lock()) {
      self->stoppedUnexpectedly(stopped, error ? std::optional(Log::describe(error)) : std::nullopt);
    }
  };
  source->log = config_.log;

  const auto result = config_.waits->start(
      "lumenrail-m2-capture-start",
      [source, hook = config_.beforeStart] {
        if (hook) hook();
        source->start();
      },
      [source, gate, log = config_.log] {
        gate->open = false;
        source->stop();
        log("[m2] capture started after its wait gave up — stopped it again");
      },
      config_.startWaitNs);
  if (result.outcome != BoundedWaits::Outcome::done) {
    gate->open = false;
    return result.outcome == BoundedWaits::Outcome::cancelled ? Start::aborted : Start::timedOut;
  }
  if (result.error) {
    gate->open = false;
    lastError_ = Log::describe(result.error);
    return Start::failed;
  }
  source_ = source;
  gate_ = gate;
  waitingForServer_ = false;  // a new capture is judged afresh
  everCaptured_ = true;
  sourceStartedNs_ = now();
  kickFirstFrame(source->deliveryCount());
  return Start::started;
}

void CaptureControl::stop() {
  if (!source_) return;
  auto source = std::move(source_);
  source_.reset();
  if (gate_) gate_->open = false;
  gate_.reset();
  source->stop();
}

// ---- timers ---------------------------------------------------------------------

void CaptureControl::arm(Executor::Timer& slot, uint64_t delayNs, uint64_t intervalNs,
                         std::function<void(CaptureControl&)> tick) {
  auto fire = [weak = weak_from_this(), post = config_.post, tick = std::move(tick)] {
    post([weak, tick] {
      if (auto self = weak.lock()) tick(*self);
    });
  };
  Executor::Timer previous;
  {
    // Checked and stored under one lock, so cancelTimers() either sees this
    // timer or it is never armed.
    std::lock_guard lock(timerLock_);
    if (config_.waits->stopped()) return;
    previous = std::move(slot);
    slot = config_.timers->startTimer(delayNs, intervalNs, std::move(fire));
  }
  // The previous one is cancelled outside the lock.
}

void CaptureControl::cancelTimers() {
  Executor::Timer watchdog, recovery, kick, outage;
  {
    std::lock_guard lock(timerLock_);
    watchdog = std::move(watchdog_);
    recovery = std::move(recovery_);
    kick = std::move(kick_);
    outage = std::move(outage_);
  }
}

// ---- the stall watchdog -----------------------------------------------------------

void CaptureControl::startWatchdog() {
  arm(watchdog_, kStallTickNs, kStallTickNs, [](CaptureControl& c) { c.checkStall(); });
  arm(outage_, kOutageCheckNs, kOutageCheckNs, [](CaptureControl& c) { c.checkOutage(); });
}

void CaptureControl::checkStall() {
  if (!source_ || config_.clientCount() == 0) return;
  const uint64_t count = source_->deliveryCount();
  if (count != lastSeenDeliveryCount_) {
    lastSeenDeliveryCount_ = count;
    stallBackoffNs_ = kStallQuietNs;
    staticProbeHash_.reset();
    staticEpisodeLogged_ = false;
    waitingForServer_ = false;
    return;
  }
  const uint64_t nowNs = now();
  const uint64_t lastDelivery = source_->lastDeliveryNs();
  const uint64_t quiet = nowNs > lastDelivery ? nowNs - lastDelivery : 0;
  // Its alive checks go unanswered already: no probe until the bound.
  if (waitingForServer_) {
    if (quiet >= kSilentServerBoundNs) rebuildStalled(nowNs, quiet);
    return;
  }
  if (quiet < kStallQuietNs || nowNs - lastStallRestartNs_ < stallBackoffNs_) return;

  const ProbeVerdict verdict = probeStaticScreen();
  const std::string seconds = std::to_string(quiet / kNsPerSecond);
  switch (verdict) {
    case ProbeVerdict::noAnswer:
      // A compositor that hangs a while (swap, a busy GPU) comes back with
      // its session: made anew now, the tablet's monitor and its windows would go.
      if (source_->holdsSessionWhileSilent() && quiet < kSilentServerBoundNs) {
        waitingForServer_ = true;
        say("[m2] capture quiet " + seconds + "s: no answer from " + source_->frameOrigin() +
            ", which still hold the session — waiting (made anew after " +
            std::to_string(kSilentServerBoundNs / kNsPerSecond) + " s of silence)");
        break;
      }
      rebuildStalled(nowNs, quiet);
      break;
    case ProbeVerdict::changed:
      rebuildStalled(nowNs, quiet);
      break;
    case ProbeVerdict::unchanged:
      if (!staticEpisodeLogged_) {
        staticEpisodeLogged_ = true;
        say("[m2] capture quiet " + seconds + "s but screen is static — not a stall");
      }
      lastStallRestartNs_ = nowNs;
      stallBackoffNs_ = std::min(2 * stallBackoffNs_, kStallBackoffMaxNs);
      break;
    case ProbeVerdict::baseline:
      break;
  }
}

void CaptureControl::rebuildStalled(uint64_t nowNs, uint64_t quietNs) {
  say("[m2] capture SILENT-STALL: no frame from " + source_->frameOrigin() + " for " +
      std::to_string(quietNs / kNsPerSecond) + "s with " + std::to_string(config_.clientCount()) +
      " client(s) — rebuilding capture stream");
  lastStallRestartNs_ = nowNs;
  stallBackoffNs_ = std::min(2 * stallBackoffNs_, kStallBackoffMaxNs);
  staticProbeHash_.reset();
  staticEpisodeLogged_ = false;
  waitingForServer_ = false;
  restart();
  lastSeenDeliveryCount_ = source_ ? source_->deliveryCount() : 0;
}

CaptureControl::ProbeVerdict CaptureControl::probeStaticScreen() {
  const auto source = source_;
  const std::optional<uint64_t> hash = config_.waits->answer<uint64_t>(
      "lumenrail-m2-static-probe", [source] { return source->probeContentHash(); }, kProbeWaitNs);
  if (!hash) return ProbeVerdict::noAnswer;
  const std::optional<uint64_t> previous = staticProbeHash_;
  staticProbeHash_ = hash;
  if (!previous) return ProbeVerdict::baseline;
  return *previous == *hash ? ProbeVerdict::unchanged : ProbeVerdict::changed;
}

// ---- restarts and recovery ----------------------------------------------------------

void CaptureControl::restart() {
  // Told before the start, which may hold the queue for its attempts.
  setDown(true, "restarting it");
  stop();
  config_.pump->reset(std::nullopt);
  if (start(config_.mode(), 3) == Start::started) {
    say("[m2] capture auto-restarted");
    return;
  }
  armRecovery();
}

void CaptureControl::stoppedUnexpectedly(const std::weak_ptr<CaptureSource>& stopped,
                                         const std::optional<std::string>& error) {
  // A display server going away while serving stops is no reason to restart.
  if (config_.waits->stopped()) return;
  say("[m2] capture stopped unexpectedly" + (error ? ": " + *error : std::string()) + " — auto-restarting");
  config_.post([weak = weak_from_this(), stopped] {
    auto self = weak.lock();
    // A capture that replaced the stopped one in the meantime is left running.
    if (!self || (self->source_ && self->source_ != stopped.lock())) return;
    self->restartAfterUnexpectedStop();
  });
}

void CaptureControl::restartAfterUnexpectedStop() {
  const uint64_t lived = source_ ? now() - sourceStartedNs_ : kYoungCaptureNs;
  if (lived >= kYoungCaptureNs || youngStops_ == 0) {
    youngStops_ = lived >= kYoungCaptureNs ? 0 : 1;
    restart();
    return;
  }
  // The restarted capture ended as soon as it was made (a sound server back
  // half-ready): made again at once, it would be made again and again, on
  // GNOME each time with a new monitor. Back off from this first failure.
  ++youngStops_;
  stop();
  config_.pump->reset(std::nullopt);
  const double delay = std::min(std::pow(2.0, double(youngStops_ - 2)), kRecoveryMaxDelaySeconds);
  say("[m2] capture ended " + std::to_string(lived / kNsPerMs) + " ms after its restart — next start in " +
      std::to_string(int64_t(delay)) + " s");
  setDown(true, "waiting to start it again");
  armRecovery(delay);
}

void CaptureControl::armRecovery(double firstDelaySeconds) {
  if (config_.waits->stopped()) return;
  ++recoveryRequests_;
  if (recoveryArmed_) return;
  recoveryArmed_ = true;
  recoveryAttempt_ = 0;
  armRecoveryTick(firstDelaySeconds);
}

void CaptureControl::armRecoveryTick(double afterSeconds) {
  arm(recovery_, static_cast<uint64_t>(afterSeconds * kNsPerSecond), 0, [](CaptureControl& c) { c.recoveryTick(); });
}

void CaptureControl::recoveryTick() {
  if (config_.waits->stopped() || source_) {
    recoveryArmed_ = false;
    return;
  }
  const int64_t attempt = ++recoveryAttempt_;
  const Start result = start(config_.mode(), 3);
  if (config_.waits->stopped()) {
    recoveryArmed_ = false;
    return;
  }
  if (result != Start::started) {
    const double delay =
        attempt > 4 ? kRecoveryMaxDelaySeconds : std::min(std::pow(2.0, attempt), kRecoveryMaxDelaySeconds);
    if (attempt == 1 || attempt % kRecoveryLogEvery == 0) {
      say("[m2] capture not ready (attempt " + std::to_string(attempt) +
          ") — waiting for " + frameOrigin_ + "; retrying every ≤" +
          std::to_string(static_cast<int64_t>(delay)) + " s");
    }
    armRecoveryTick(delay);
    return;
  }
  recoveryArmed_ = false;
  if (config_.onRecovered) config_.onRecovered();
  say("[m2] capture recovered after " + std::to_string(attempt) + " attempt(s)");
}

// ---- the first frame ------------------------------------------------------------------

void CaptureControl::kickFirstFrame(uint64_t deliveryCountAtStart) {
  std::weak_ptr<CaptureSource> started = source_;
  arm(kick_, kFirstFrameKickNs, 0, [started, deliveryCountAtStart](CaptureControl& c) {
    const auto source = started.lock();
    if (!source || c.source_ != source || source->deliveryCount() != deliveryCountAtStart) return;
    const PixelBufferRef buffer = c.grabBounded(source);
    if (!buffer) {
      // A screen cast without a frame yet sends its first one by itself.
      if (source->grabsOnDemand()) {
        c.say("[m2] still screen after (re)start and the one-shot grab failed — waiting for the next content change");
      }
      return;
    }
    if (source->deliveryCount() != deliveryCountAtStart) return;
    c.say("[m2] still screen after (re)start — seeded one frame so the client can decode");
    c.config_.pump->submit(buffer, c.now());
  });
}

// Bounded like a probe: a grab stuck in the display server must not hold the
// queue, and with it a stop.
PixelBufferRef CaptureControl::grabBounded(const std::shared_ptr<CaptureSource>& source) {
  const std::optional<PixelBufferRef> grabbed = config_.waits->answer<PixelBufferRef>(
      "lumenrail-m2-first-frame", [source]() -> std::optional<PixelBufferRef> { return source->captureOneShot(); },
      kProbeWaitNs);
  return grabbed ? *grabbed : PixelBufferRef();
}

// ---- outages ----------------------------------------------------------------------------

// No capture, or one whose alive checks stopped, is an outage the clients
// hear of; a still screen is none, since its alive checks go on.
void CaptureControl::checkOutage() {
  if (!source_) {
    setDown(true, "no capture running");
    return;
  }
  const uint64_t alive = source_->aliveCheckNs();
  const uint64_t t = now();
  const uint64_t last = source_->lastDeliveryNs();
  const uint64_t quiet = t > last ? t - last : 0;
  if (alive > 0 && 2 * quiet >= kMissedAliveChecksTwice * alive) {
    if (!down_) {
      // Its last picture is not fed on while nothing says it still stands.
      config_.pump->reset(std::nullopt);
      silentSource_ = source_;
      framesAtSilence_ = gate_ ? gate_->frames.load() : 0;
    }
    setDown(true, "nothing from " + source_->frameOrigin() + " for " + std::to_string(quiet / kNsPerMs) + " ms");
    return;
  }
  const bool silentBefore = down_ && source_ == silentSource_.lock();
  silentSource_.reset();
  setDown(false, "");
  if (silentBefore && gate_ && gate_->frames.load() == framesAtSilence_) {
    // Its server answers again and sent nothing new: the newest picture is
    // the screen as it stands, and the clients get it at once.
    if (const PixelBufferRef buffer = grabBounded(source_); buffer && gate_->frames.load() == framesAtSilence_) {
      config_.pump->submit(buffer, now());
    }
  }
}

void CaptureControl::setDown(bool down, const std::string& why) {
  if (down == down_ || config_.waits->stopped()) return;
  down_ = down;
  const uint64_t t = now();
  if (down) {
    downSinceNs_ = t;
    say("[m2] capture down (" + why + ") — the clients are told (Advisory degraded)");
  } else {
    say("[m2] capture back after " + std::to_string((t - downSinceNs_) / kNsPerMs) +
        " ms — Advisory degraded cleared");
  }
  if (config_.onOutage) config_.onOutage(down);
}

}  // namespace lumenrail

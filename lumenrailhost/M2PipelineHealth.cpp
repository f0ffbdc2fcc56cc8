// Capture health: the stall watchdog that tells a still screen from a dead
// stream, capture restarts and recovery ticks, the first-frame kick after a
// start on a still screen, and the restart after an unexpected stop. All of it
// runs on reconfigQueue_ and starts nothing once serving has stopped.
#include <algorithm>
#include <cmath>

#include "M2Pipeline.hpp"

namespace lumenrail {

namespace {

constexpr double kRecoveryMaxDelaySeconds = 10;
constexpr int64_t kRecoveryLogEvery = 10;

// A one-shot timer over a repeating queue timer: the tick cancels itself, so
// releasing the handle before it fires cancels it like any other.
std::shared_ptr<void> queueTimer(SerialQueue& queue, uint64_t delayNs, uint64_t intervalNs,
                                 std::function<void()> fire) {
  auto timer = std::make_shared<SerialQueue::Timer>();
  const bool once = intervalNs == 0;
  std::weak_ptr<SerialQueue::Timer> weak = timer;
  *timer = queue.scheduleRepeating(once ? delayNs : intervalNs, delayNs, [weak, once, fire = std::move(fire)] {
    if (once) {
      if (auto t = weak.lock()) t->cancel();
    }
    fire();
  });
  return timer;
}

}  // namespace

uint64_t M2Pipeline::healthNow() const { return config_.healthNowNs ? config_.healthNowNs() : uptimeNs(); }

void M2Pipeline::armHealthTimer(std::shared_ptr<void>& slot, uint64_t delayNs, uint64_t intervalNs,
                                std::function<void(M2Pipeline&)> tick) {
  // The tick goes through postReconfig, which skips it once serving has stopped.
  auto fire = [weak = weak_from_this(), tick = std::move(tick)] {
    if (auto self = weak.lock()) self->postReconfig(tick);
  };
  std::shared_ptr<void> previous;
  {
    // Checked and stored under one lock, so cancelHealthTimers() either sees
    // this timer or it is never armed.
    std::lock_guard lock(healthTimerLock_);
    if (stopped()) return;
    previous = std::move(slot);
    slot = config_.healthTimer ? config_.healthTimer(delayNs, intervalNs, std::move(fire))
                               : queueTimer(reconfigQueue_, delayNs, intervalNs, std::move(fire));
  }
  // Released outside the lock, like in cancelHealthTimers().
}

void M2Pipeline::cancelHealthTimers() {
  std::shared_ptr<void> watchdog, recovery, kick;
  {
    std::lock_guard lock(healthTimerLock_);
    watchdog = std::move(stallWatchdog_);
    recovery = std::move(recoveryTimer_);
    kick = std::move(firstFrameKick_);
  }
  // Released outside the lock: a fake timer's handle may run code of its own.
}

M2Pipeline::HealthState M2Pipeline::healthState() {
  return reconfigQueue_.sync(
      [this] { return HealthState{stallBackoffNs_, captureRecoveryArmed_, captureRecoveryAttempt_}; });
}

// ---- stall watchdog ---------------------------------------------------------

void M2Pipeline::startStallWatchdog() {
  armHealthTimer(stallWatchdog_, kStallTickNs, kStallTickNs, [](M2Pipeline& p) { p.checkCaptureStall(); });
}

void M2Pipeline::checkCaptureStall() {
  if (!source_ || server_->clientCount() == 0) return;
  const uint64_t count = source_->deliveryCount();
  if (count != lastSeenDeliveryCount_) {
    lastSeenDeliveryCount_ = count;
    stallBackoffNs_ = kStallQuietNs;
    staticProbeHash_.reset();
    staticEpisodeLogged_ = false;
    return;
  }
  const uint64_t now = healthNow();
  const uint64_t lastDelivery = source_->lastDeliveryNs();
  const uint64_t quiet = now > lastDelivery ? now - lastDelivery : 0;
  if (quiet < kStallQuietNs || now - lastStallRestartNs_ < stallBackoffNs_) return;

  const ProbeVerdict verdict = probeStaticScreen(source_);
  const std::string seconds = std::to_string(quiet / kNsPerSecond);
  switch (verdict) {
    case ProbeVerdict::changed:
    case ProbeVerdict::noAnswer:
      say("[m2] capture SILENT-STALL: no SCK delivery for " + seconds + "s with " +
          std::to_string(server_->clientCount()) + " client(s) — rebuilding capture stream");
      lastStallRestartNs_ = now;
      stallBackoffNs_ = std::min(2 * stallBackoffNs_, kStallBackoffMaxNs);
      staticProbeHash_.reset();
      staticEpisodeLogged_ = false;
      restartCapture();
      lastSeenDeliveryCount_ = source_ ? source_->deliveryCount() : 0;
      break;
    case ProbeVerdict::unchanged:
      if (!staticEpisodeLogged_) {
        staticEpisodeLogged_ = true;
        say("[m2] capture quiet " + seconds + "s but screen is static — not a stall");
      }
      lastStallRestartNs_ = now;
      stallBackoffNs_ = std::min(2 * stallBackoffNs_, kStallBackoffMaxNs);
      break;
    case ProbeVerdict::baseline:
      break;
  }
}

template <typename T>
std::optional<T> M2Pipeline::runBounded(const char* threadName, std::function<std::optional<T>()> work,
                                        uint64_t waitNs) {
  struct Answer {
    bool done = false;
    std::optional<T> value;
  };
  auto answer = std::make_shared<Answer>();
  const auto wake = sideWake_;
  NamedThread thread(threadName, [answer, wake, work = std::move(work)] {
    std::optional<T> value;
    try {
      value = work();
    } catch (...) {
      value.reset();
    }
    std::lock_guard lock(wake->lock);
    answer->value = std::move(value);
    answer->done = true;
    wake->cv.notify_all();
  });
  {
    std::unique_lock lock(wake->lock);
    wake->cv.wait_for(lock, std::chrono::nanoseconds(waitNs), [&] { return answer->done || wake->stopped; });
    if (answer->done) {
      lock.unlock();
      thread.join();
      return std::move(answer->value);
    }
  }
  // Stuck in the display server: stopServing() joins it, bounded, not this queue.
  keepStartThread(std::move(thread));
  return std::nullopt;
}

M2Pipeline::ProbeVerdict M2Pipeline::probeStaticScreen(const std::shared_ptr<CaptureSource>& source) {
  const std::optional<uint64_t> hash = runBounded<uint64_t>(
      "lumenrail-m2-static-probe", [source] { return source->probeContentHash(); }, kProbeWaitNs);
  if (!hash) return ProbeVerdict::noAnswer;
  const std::optional<uint64_t> previous = staticProbeHash_;
  staticProbeHash_ = hash;
  if (!previous) return ProbeVerdict::baseline;
  return *previous == *hash ? ProbeVerdict::unchanged : ProbeVerdict::changed;
}

// ---- restarts and recovery ----------------------------------------------------

void M2Pipeline::restartCapture() {
  stopCapture();
  if (startCapture(currentMode(), 3) == CaptureStart::started) {
    say("[m2] capture auto-restarted");
    return;
  }
  armCaptureRecovery();
}

void M2Pipeline::handleCaptureStopped(const std::weak_ptr<CaptureSource>& stoppedSource,
                                      const std::optional<std::string>& error) {
  // A display server going away while serving stops is no reason to restart.
  if (stopped()) return;
  say("[m2] capture stopped unexpectedly" + (error ? ": " + *error : std::string()) + " — auto-restarting");
  postReconfig([stoppedSource](M2Pipeline& p) {
    // A capture that replaced the stopped one in the meantime is left running.
    if (p.source_ && p.source_ != stoppedSource.lock()) return;
    p.restartCapture();
  });
}

void M2Pipeline::armCaptureRecoveryTick(double afterSeconds) {
  armHealthTimer(recoveryTimer_, static_cast<uint64_t>(afterSeconds * kNsPerSecond), 0,
                 [](M2Pipeline& p) { p.captureRecoveryTick(); });
}

void M2Pipeline::captureRecoveryTick() {
  if (stopped() || source_) {
    captureRecoveryArmed_ = false;
    return;
  }
  const int64_t attempt = ++captureRecoveryAttempt_;
  const CaptureStart result = startCapture(currentMode(), 3);
  if (stopped()) {
    captureRecoveryArmed_ = false;
    return;
  }
  if (result != CaptureStart::started) {
    const double delay =
        attempt > 4 ? kRecoveryMaxDelaySeconds : std::min(std::pow(2.0, attempt), kRecoveryMaxDelaySeconds);
    if (attempt == 1 || attempt % kRecoveryLogEvery == 0) {
      say("[m2] capture not ready (attempt " + std::to_string(attempt) +
          ") — is the Screen Recording prompt waiting? retrying every ≤" +
          std::to_string(static_cast<int64_t>(delay)) + " s");
    }
    armCaptureRecoveryTick(delay);
    return;
  }
  captureRecoveryArmed_ = false;
  server_->rebroadcastHello(hello(currentMode(), codec_));
  say("[m2] capture recovered after " + std::to_string(attempt) + " attempt(s)");
}

// ---- first frame ----------------------------------------------------------------

void M2Pipeline::kickFirstFrame(uint64_t deliveryCountAtStart) {
  std::weak_ptr<CaptureSource> started = source_;
  armHealthTimer(firstFrameKick_, kFirstFrameKickNs, 0, [started, deliveryCountAtStart](M2Pipeline& p) {
    const auto source = started.lock();
    if (!source || p.source_ != source || source->deliveryCount() != deliveryCountAtStart) return;
    // Bounded like a probe: a grab stuck in the display server must not hold
    // the queue, and with it a stop.
    const std::optional<PixelBufferRef> grabbed = p.runBounded<PixelBufferRef>(
        "lumenrail-m2-first-frame", [source]() -> std::optional<PixelBufferRef> { return source->captureOneShot(); },
        kProbeWaitNs);
    const PixelBufferRef buffer = grabbed ? *grabbed : PixelBufferRef();
    if (!buffer) {
      p.say("[m2] still screen after (re)start and the one-shot grab failed — waiting for the next content change");
      return;
    }
    if (source->deliveryCount() != deliveryCountAtStart) return;
    p.say("[m2] still screen after (re)start — seeded one frame so the client can decode");
    p.pump_->submit(buffer, p.healthNow());
  });
}

}  // namespace lumenrail

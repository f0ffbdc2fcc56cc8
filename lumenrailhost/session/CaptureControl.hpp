#pragma once

// The serving session's screen capture: starting it (with retries and a
// bounded wait), stopping it, and keeping it healthy while it serves: the
// stall watchdog that tells a still screen from a dead stream and a silent
// server that still holds its session (waited for) from a gone one (made
// anew), restarts, recovery ticks, the first frame seeded after a start on a
// still screen, the restart after an unexpected stop, and the outages the
// clients are told of. Every call but the capture's own callbacks runs on the
// session's queue; timers and time come from `timers`.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/DesktopEnvironment.hpp"
#include "media/CaptureServePump.hpp"
#include "media/CaptureSource.hpp"
#include "media/InkObserver.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "session/BoundedWaits.hpp"
#include "wire/ClientModePolicy.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

class CaptureControl final : public std::enable_shared_from_this<CaptureControl> {
 public:
  using Mode = ClientModePolicy::Mode;
  enum class Start { started, timedOut, failed, aborted };
  enum class ProbeVerdict { baseline, unchanged, changed, noAnswer };

  struct Config {
    std::shared_ptr<DesktopEnvironment> desktop;
    std::shared_ptr<WireServer> server;  // ink notices (with `ink` only)
    std::function<int64_t()> clientCount;
    std::shared_ptr<CaptureServePump> pump;
    std::shared_ptr<BoundedWaits> waits;
    // The health timers and their clock.
    std::shared_ptr<Executor> timers;
    // Runs a timer's work on the session's queue (and drops it once serving stopped).
    std::function<void(std::function<void()>)> post;
    Log::Sink log;
    bool captureBgra = false;
    int64_t faultCaptureTimeouts = 0;  // starts after the first that report a time-out
    std::shared_ptr<InkObserver> ink;
    uint64_t startWaitNs = 8 * kNsPerSecond;
    std::function<void()> beforeStart;  // on the start thread, before the capture starts (tests)
    // The stream mode that restarts and recovery capture at.
    std::function<Mode()> mode;
    // Before each start: extends the virtual display; the display to capture (0: the main one).
    std::function<uint32_t()> prepareDisplay;
    // Capture came back through recovery ticks (the clients get Hello again).
    std::function<void()> onRecovered;
    // No frame can come (no capture, or its server silent), or they can again.
    std::function<void(bool down)> onOutage;
  };

  // What the tests read, on the session's queue.
  struct Health {
    uint64_t stallBackoffNs = 0;
    bool captureRecoveryArmed = false;
    int64_t captureRecoveryAttempt = 0;
    int64_t captureRecoveryRequests = 0;  // hand-overs to recovery, also while armed
  };

  static constexpr uint64_t kRetryNs = 500'000'000;
  static constexpr uint64_t kStallTickNs = 2 * kNsPerSecond;
  static constexpr uint64_t kStallQuietNs = 4 * kNsPerSecond;
  static constexpr uint64_t kStallBackoffMaxNs = 60 * kNsPerSecond;
  static constexpr uint64_t kProbeWaitNs = 3 * kNsPerSecond;
  static constexpr uint64_t kFirstFrameKickNs = 300 * kNsPerMs;
  // A restarted capture that stops by itself sooner than this after its start
  // failed at once: it is not restarted at once. One that served longer is.
  static constexpr uint64_t kYoungCaptureNs = 2 * kNsPerSecond;
  // The outage check's period, and how many alive checks a silent capture
  // misses (times two) before it counts as down: the clients hear within 2 s.
  static constexpr uint64_t kOutageCheckNs = 200 * kNsPerMs;
  static constexpr uint64_t kMissedAliveChecksTwice = 5;
  // A server silent this long while holding its session is taken for gone.
  static constexpr uint64_t kSilentServerBoundNs = 60 * kNsPerSecond;

  static std::shared_ptr<CaptureControl> create(Config config);
  CaptureControl(const CaptureControl&) = delete;
  CaptureControl& operator=(const CaptureControl&) = delete;

  // Up to `attempts` starts, 0.5 s apart after a failure; a time-out is not retried.
  Start start(const Mode& mode, int64_t attempts);
  // Stops the running capture, if any (bounded by the source itself).
  void stop();
  // stop() and start() again; recovery takes over when that fails. The
  // stream's last picture goes with the old capture: no client is fed it
  // while the screen is not being captured.
  void restart();
  // The single hand-over to recovery ticks: one chain at a time, first tick after `firstDelaySeconds`.
  void armRecovery(double firstDelaySeconds = 1.0);
  void startWatchdog();
  // Before the stop fence: no health tick starts after this returns.
  void cancelTimers();

  bool running() const { return source_ != nullptr; }
  // Frames the running capture has delivered; 0 without one.
  uint64_t deliveryCount() const { return source_ ? source_->deliveryCount() : 0; }
  const std::string& lastError() const { return lastError_; }
  Health health() const;

 private:
  explicit CaptureControl(Config config);
  Start prepareAndStartOnce(const Mode& mode);
  Start startOnce(const Mode& mode, uint32_t displayID);
  void say(const std::string& line) const { config_.log(line); }
  uint64_t now() const { return config_.timers->nowNs(); }
  // Arms `slot` on the timers; refused once serving has stopped.
  void arm(Executor::Timer& slot, uint64_t delayNs, uint64_t intervalNs, std::function<void(CaptureControl&)> tick);
  void checkStall();
  ProbeVerdict probeStaticScreen();
  void armRecoveryTick(double afterSeconds);
  void recoveryTick();
  void kickFirstFrame(uint64_t deliveryCountAtStart);
  void stoppedUnexpectedly(const std::weak_ptr<CaptureSource>& source, const std::optional<std::string>& error);
  void restartAfterUnexpectedStop();
  void rebuildStalled(uint64_t nowNs, uint64_t quietNs);
  void checkOutage();
  void setDown(bool down, const std::string& why);
  // The source's picture now, or nothing within the probe's bound.
  PixelBufferRef grabBounded(const std::shared_ptr<CaptureSource>& source);

  // Closed when a capture is stopped or abandoned, so a late frame goes nowhere.
  struct Gate {
    std::atomic<bool> open{true};
    std::atomic<uint64_t> frames{0};  // handed on
  };

  const Config config_;
  std::shared_ptr<CaptureSource> source_;
  std::shared_ptr<Gate> gate_;
  int64_t faultsLeft_;
  bool everCaptured_ = false;
  uint64_t sourceStartedNs_ = 0;
  int64_t youngStops_ = 0;  // captures in a row that stopped by themselves while young
  std::string lastError_;
  std::string frameOrigin_ = "the capture";  // of the last capture made, for the recovery line

  std::mutex timerLock_;
  Executor::Timer watchdog_;  // under timerLock_
  Executor::Timer recovery_;  // under timerLock_
  Executor::Timer kick_;      // under timerLock_
  Executor::Timer outage_;    // under timerLock_

  uint64_t stallBackoffNs_ = kStallQuietNs;
  uint64_t lastStallRestartNs_ = 0;
  uint64_t lastSeenDeliveryCount_ = 0;
  std::optional<uint64_t> staticProbeHash_;
  bool staticEpisodeLogged_ = false;
  bool waitingForServer_ = false;  // a silent server holds the session: no rebuild before the bound
  bool down_ = false;
  uint64_t downSinceNs_ = 0;
  // The capture whose server went silent, and its frames then.
  std::weak_ptr<CaptureSource> silentSource_;
  uint64_t framesAtSilence_ = 0;
  bool recoveryArmed_ = false;
  int64_t recoveryAttempt_ = 0;
  int64_t recoveryRequests_ = 0;
};

}  // namespace lumenrail

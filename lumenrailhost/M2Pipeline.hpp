#pragma once

// One serving session: owns the wire server, the encoder, the pacing pump,
// the screen capture, the virtual display, the USB bridges, the Bonjour
// advertisement and the input injectors for one start/stop cycle, and
// carries each captured frame to the clients. Every desktop service comes
// from its DesktopEnvironment; the session itself calls no OS library.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DesktopEnvironment.hpp"
#include "input/ForegroundAppWatcher.hpp"
#include "input/KeyComboInjector.hpp"
#include "input/PenInjector.hpp"
#include "links/AoaServeBridge.hpp"
#include "links/BonjourAdvertiser.hpp"
#include "links/UsbmuxServeBridge.hpp"
#include "media/CaptureServePump.hpp"
#include "media/CaptureSource.hpp"
#include "media/FrameScaler.hpp"
#include "media/InkObserver.hpp"
#include "media/AacEncoder.hpp"
#include "media/PcmS16Packer.hpp"
#include "media/SystemAudioSource.hpp"
#include "media/ViewportCropper.hpp"
#include "media/ViewportGeometry.hpp"
#include "media/VideoEncoder.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "platform/Clock.hpp"
#include "platform/DisplayConfiguration.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "platform/SerialQueue.hpp"
#include "wire/ClientModePolicy.hpp"
#include "wire/FrameStallProbe.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

class M2Pipeline final : public std::enable_shared_from_this<M2Pipeline> {
 public:
  using Mode = ClientModePolicy::Mode;
  // Calls `fire` (from any thread) after `delayNs`, then every `intervalNs`
  // when that is not 0; releasing the handle cancels it.
  using HealthTimerFactory =
      std::function<std::shared_ptr<void>(uint64_t delayNs, uint64_t intervalNs, std::function<void()> fire)>;

  struct Config {
    Mode mode;
    uint16_t port = Wire::defaultPort;  // 0 picks a free port (see boundPort())
    bool captureMain = false;           // mirror the main display instead of extending
    bool usb = false;
    std::optional<Bytes> psk;
    std::optional<WireServer::Pairing> pairing;  // offered to network clients when set
    bool penHighRate = false;
    // The process arguments, for the switches the session reads itself.
    std::vector<std::string> arguments;
    // Capture, encoders, displays, audio and input; required.
    std::shared_ptr<DesktopEnvironment> desktop;
    Log::Sink log;  // every status line; standard output when unset
    PublisherFactory publisherFactory;  // Avahi when unset
    uint64_t captureStartWaitNs = 8 * kNsPerSecond;
    // Runs on the capture-start thread before the capture starts (tests).
    std::function<void()> beforeCaptureStart;
    uint64_t audioStartWaitNs = 8 * kNsPerSecond;
    // Capture-health time: the uptime clock and reconfigQueue_'s timers when unset.
    NowNs healthNowNs;
    HealthTimerFactory healthTimer;
    // Runs the owner's hooks (onClientMustUpdate, onClientNamed) on its main
    // queue; unset, they run on the connection thread that reports them.
    std::function<void(std::function<void()>)> postToMain;
  };

  enum class CaptureStart { started, timedOut, failed, aborted };

  // Builds and wires everything; starts nothing. Throws std::invalid_argument
  // for a mode the encoder and Hello cannot carry, or without a desktop.
  static std::shared_ptr<M2Pipeline> create(Config config);
  ~M2Pipeline();
  M2Pipeline(const M2Pipeline&) = delete;
  M2Pipeline& operator=(const M2Pipeline&) = delete;

  // True when serving. A stopServing() from another thread makes a start in
  // progress give up and return false.
  bool startServing();
  // Takes everything down; safe before, during and after a start, and twice.
  void stopServing();

  uint16_t boundPort() const { return server_->boundPort(); }
  bool captureMain() const { return captureMain_.load(); }
  // The virtual display's id, 0 when there is none.
  uint32_t virtualDisplayID() const { return vdId_.load(); }
  // For the tray application; any thread.
  const std::shared_ptr<WireServer>& server() const { return server_; }
  Mode mode() const { return currentMode(); }
  bool penHighRateApplied() const { return penHighRateApplied_.load(); }

  // Set before startServing(); called through Config::postToMain, also while
  // a start is still running, and never once the pipeline is gone.
  std::function<void(const std::optional<std::string>&)> onClientMustUpdate;
  std::function<void(const std::string&, bool)> onClientNamed;

  static Wire::HelloParams hello(const Mode& mode, Wire::Codec codec);
  static std::string label(const Mode& mode);
  std::string vdLabel(const Mode& mode) const;
  // On when present, not empty and not exactly "0".
  static bool flagEnv(const char* name);
  static bool bypassPacing();
  static bool captureBgra();
  static std::shared_ptr<InkObserver> makeInkObserver(const Log::Sink& log);
  // Base 10 with an optional sign; the fallback when missing or malformed.
  static int64_t intEnv(const char* name, int64_t fallback);

  static constexpr int32_t kBitrateBps = 12'000'000;
  static constexpr uint64_t kViewportIdrMinIntervalNs = 250'000'000;
  static constexpr uint64_t kCaptureRetryNs = 500'000'000;
  static constexpr uint64_t kCaptureStopWaitNs = 5 * kNsPerSecond;
  static constexpr const char* kReconfigQueueLabel = "quillmark.lumenrail.m2.reconfig";

  // ==== Live reconfiguration (M2PipelineReconfigure.cpp) ====================
  // Entry points only post to reconfigQueue_; work queued while a start is
  // running waits for it, and nothing runs once serving has stopped.
  enum class RebuildResult { rebuilt, encoderFailed, captureDown };

  void requestClientMode(const Wire::ClientMode& request, int32_t fd);
  void clientDeparted(int32_t fd);
  void setMainDevice(const std::string& fingerprint);
  void setCaptureMain(bool on);  // true: mirror the main display; false: extend
  void setPenHighRate(bool on);

  // For the menu bar; any thread.
  std::vector<std::string> connectedClientNames() const;
  bool hasNetworkClient() const;
  std::set<std::string> connectedFingerprints() const;
  std::optional<std::string> mainFingerprint() const;

  // What the reconfiguration queue holds, read on the queue after the work
  // queued before it.
  struct ReconfigState {
    Mode mode;
    Wire::Codec codec = Wire::Codec::h264;
    bool captureMain = false;
    std::optional<int32_t> primary;
    std::map<int32_t, Mode> lastModes;
    std::optional<Mode> smallMode;
    std::set<int32_t> smallMembers;
    bool penHighRate = false;
    bool penHighRateApplied = false;
    uint32_t vdId = 0;
    Wire::EncoderConfigRequest desiredEncoderConfig;
    int64_t captureRecoveryRequests = 0;
  };
  ReconfigState reconfigState();

  static constexpr int64_t kMaxBitrateKbps = 60'000;
  // ==== end of live reconfiguration ==========================================

  // ==== Capture health (M2PipelineHealth.cpp) ===============================
  enum class ProbeVerdict { baseline, unchanged, changed, noAnswer };
  struct HealthState {
    uint64_t stallBackoffNs = 0;
    bool captureRecoveryArmed = false;
    int64_t captureRecoveryAttempt = 0;
  };
  // Read on reconfigQueue_ after the work queued before it.
  HealthState healthState();

  static constexpr uint64_t kStallTickNs = 2 * kNsPerSecond;
  static constexpr uint64_t kStallQuietNs = 4 * kNsPerSecond;
  static constexpr uint64_t kStallBackoffMaxNs = 60 * kNsPerSecond;
  static constexpr uint64_t kProbeWaitNs = 3 * kNsPerSecond;
  static constexpr uint64_t kFirstFrameKickNs = 300 * kNsPerMs;
  // ==== end of capture health ================================================

 private:
  friend class M2PipelineProbe;  // tests drive capture restarts through it

  // What the pen injectors map onto; they outlive nothing of the pipeline's.
  struct Target {
    std::mutex lock;
    std::shared_ptr<DisplayConfiguration> displays;  // opened at start
    uint32_t vdId = 0;
    int64_t width = 0;
    int64_t height = 0;
    bool alive = true;
  };
  // One asynchronous capture start and the thread that waits for it.
  struct StartBox {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    bool cancelled = false;  // stopServing() arrived while waiting
    std::exception_ptr error;
    // The start thread's report; true when the waiter gave up meanwhile.
    bool finish(std::exception_ptr failure);
  };
  struct StartWait {
    bool done = false;
    bool cancelled = false;
    std::exception_ptr error;
  };
  // Closed when a capture is stopped or abandoned, so a late frame goes nowhere.
  struct FrameGate {
    std::atomic<bool> open{true};
  };

  explicit M2Pipeline(Config config);
  void wire();
  void say(const std::string& line) const;
  bool stopped() const;
  bool startLocked();
  void stopLocked();
  CaptureStart startCapture(const Mode& mode, int64_t attempts);
  CaptureStart startCaptureOnce(const Mode& mode);
  // Waits for `box`, abandons it when it is late, and frees the stop slot.
  StartWait awaitStart(const std::shared_ptr<StartBox>& box, uint64_t waitNs);
  // The what() of an exception, for log lines.
  static std::string describeError(const std::exception_ptr& error);
  void stopCapture();
  void onFrame(const PixelBufferRef& buffer, uint64_t captureNs);
  void encodeFrame(const PixelBufferRef& buffer, uint64_t captureNs, bool force);
  void attachSink(VideoEncoder& encoder);
  // The stream mode, read with the encoder it belongs to.
  Mode currentMode() const;
  static PenMapper::TargetRect targetRect(Target& target);
  double vdHz(const Mode& mode) const;

  const Config config_;
  Log::Sink log_;
  const uint16_t port_;
  std::atomic<bool> captureMain_;
  const bool usb_;
  const std::optional<Bytes> psk_;
  std::atomic<bool> penHighRate_;  // changed on reconfigQueue_ only
  const bool audioEnabled_;
  const bool audioForceSck_;

  SerialQueue reconfigQueue_{kReconfigQueueLabel};
  std::shared_ptr<FrameStallProbe> stallProbe_;
  std::shared_ptr<WireServer> server_;
  std::shared_ptr<BonjourAdvertiser> advertiser_;
  std::shared_ptr<VideoEncoder> encoder_;  // guarded by encoderLock_
  mutable std::mutex encoderLock_;
  std::shared_ptr<UsbmuxServeBridge> usbBridge_;
  std::shared_ptr<AoaServeBridge> aoaBridge_;

  std::shared_ptr<Target> target_ = std::make_shared<Target>();
  std::unique_ptr<VirtualDisplayManager> vd_;  // start path, reconfigQueue_ and stop
  std::atomic<uint32_t> vdId_{0};

  std::shared_ptr<CaptureServePump> pump_;
  std::shared_ptr<CaptureSource> source_;  // start path, reconfigQueue_ and stop
  std::shared_ptr<FrameGate> sourceGate_;
  int64_t faultCaptureTimeouts_ = 0;
  bool everCaptured_ = false;

  mutable std::mutex stopFlagLock_;
  bool servingStopped_ = false;
  std::shared_ptr<StartBox> pendingStart_;  // under stopFlagLock_

  // Serialises startServing() and stopServing().
  std::mutex lifecycleLock_;
  bool started_ = false;
  bool tornDown_ = false;

  // Per-frame state; touched only by encodeFrame, one thread at a time.
  ViewportCropper viewportCropper_;
  PixelRect lastAppliedViewport_;
  bool viewportIdrPending_ = false;
  uint64_t lastViewportIdrNs_ = 0;
  std::shared_ptr<InkObserver> inkObserver_;  // the frame handler's, one capture thread at a time
  std::string lastCaptureError_;
  std::condition_variable stopCv_;  // with stopFlagLock_: wakes the pause between capture attempts

  Mode mode_;  // changed on reconfigQueue_ under encoderLock_; encodeFrame copies it under the lock
  Wire::Codec codec_ = Wire::Codec::h264;

  std::shared_ptr<PenInjectors> pen_;
  std::shared_ptr<KeyComboInjector> keys_;
  std::shared_ptr<ForegroundAppWatcher> foreground_;

  // Capture-start, audio-start and probe threads; a late start stops what it
  // started. Kept here so stop joins them (bounded).
  void keepStartThread(NamedThread thread);
  void joinStartThreads();
  // Runs `work` on a thread of its own and waits for it at most `waitNs`, or
  // until serving stops; nothing when it did not answer in time (the thread
  // is then kept with the start threads).
  template <typename T>
  std::optional<T> runBounded(const char* threadName, std::function<std::optional<T>()> work, uint64_t waitNs);
  // Wakes the waits of runBounded() when serving stops.
  struct SideWake {
    std::mutex lock;
    std::condition_variable cv;
    bool stopped = false;
  };
  const std::shared_ptr<SideWake> sideWake_ = std::make_shared<SideWake>();
  std::mutex startThreadsLock_;
  std::vector<NamedThread> startThreads_;

  // ==== Live reconfiguration (M2PipelineReconfigure.cpp) ====================
  void wireReconfiguration(WireServer::Hooks& hooks);
  // Holds reconfigQueue_ until startServing() has finished.
  void holdReconfigurationForStart();
  void endReconfigurationHold(bool serving);
  // Lets queued work finish before the session is taken down.
  void quiesceReconfiguration();
  void postReconfig(std::function<void(M2Pipeline&)> work);
  std::shared_ptr<VideoEncoder> makeEncoder(const Mode& mode, Wire::Codec codec) const;
  std::shared_ptr<DisplayConfiguration> openDisplays() const;
  VirtualDisplayManager::Config virtualDisplayConfig(const Mode& mode) const;
  double vdHzFor(const Mode& mode, bool penHighRate) const;
  // Publishes vd_ and mode_ to the pen target and the vd id getter.
  void noteDisplayTarget();
  void setPrimary(std::optional<int32_t> fd);
  void reconfigure(const Mode& to);
  RebuildResult rebuildPipeline(const Mode& m);
  void updateSmallLane();
  void retireSmallEncoder(const std::shared_ptr<VideoEncoder>& old);
  void stopSmallLane();
  void attachSmallSink(VideoEncoder& encoder);
  void encodeSmallLane(const PixelBufferRef& frame, uint64_t captureNs, bool keyframe,
                       const std::shared_ptr<VideoEncoder>& smallEncoder, const std::optional<Mode>& smallMode);
  void negotiateCodec(bool hevcWanted);
  // Caps are taken against `stream`, the mode the encoder runs at.
  Wire::EncoderConfigRequest applyEncoderConfigToEncoder(const Wire::EncoderConfigRequest& request,
                                                         const Mode& stream);
  void applyEncoderConfigToSmallLane(const Wire::EncoderConfigRequest& request, int64_t mainFps);
  void broadcastApplied(const Wire::EncoderConfigRequest& applied);
  void applyCaptureMain(bool on);
  void applyPenHighRatePromotion(bool on, std::optional<Mode> forMode);
  // The single hand-over to capture recovery for every change that left the
  // capture down (reconfigure, codec, extend/mirror, a capture restart): one
  // chain of recovery ticks at a time.
  void armCaptureRecovery();

  std::shared_ptr<OneShotEvent> startHold_ = std::make_shared<OneShotEvent>();
  std::atomic<bool> reconfigOpen_{false};
  std::optional<int32_t> primaryClientFd_;  // reconfigQueue_
  std::map<int32_t, Mode> lastMode_;        // reconfigQueue_
  mutable std::mutex mainLock_;
  std::optional<std::string> mainFingerprint_;  // under mainLock_
  std::shared_ptr<VideoEncoder> smallEncoder_;  // under encoderLock_
  std::optional<Mode> smallMode_;               // under encoderLock_
  std::set<int32_t> smallMembers_;              // reconfigQueue_
  Wire::Codec smallCodec_ = Wire::Codec::h264;  // reconfigQueue_
  FrameScaler smallScaler_;                     // encodeFrame only
  uint64_t lastSmallEncodeNs_ = 0;              // encodeFrame only
  bool smallKeyframeOwed_ = false;              // encodeFrame only
  std::atomic<bool> penHighRateApplied_{false};  // written on reconfigQueue_
  Wire::EncoderConfigRequest desiredEncoderConfig_ = Wire::EncoderConfigRequest::none();  // reconfigQueue_
  int64_t captureRecoveryRequests_ = 0;         // reconfigQueue_
  // ==== end of live reconfiguration ==========================================

  // ==== Audio passthrough (M2PipelineAudio.cpp) ==============================
  // Everything here is touched on reconfigQueue_ only; stopLocked() reaches it
  // through reconfigQueue_.sync.
  enum class AudioStart { started, timedOut, failed, aborted };
  static constexpr int64_t kAudioSampleRate = 48000;
  static constexpr int64_t kAudioChannels = 2;

  void wireAudio(WireServer::Hooks& hooks);
  // The decision on a change of the clients' audio wish.
  void audioWantedChanged(bool wanted);
  void startAudio();
  bool startAudioTap(const std::shared_ptr<AacEncoder>& aac, const std::shared_ptr<PcmS16Packer>& pcm);
  void stopAudio();
  // stopAudio() on the queue; late starts are joined with the start threads.
  void stopAudioForTeardown();
  std::shared_ptr<SystemAudioSource> makeAudio(SystemAudioRoute route) const;
  // Hands each buffer to the packer and/or the encoder the clients want.
  void routeSamples(SystemAudioSource& source, const std::shared_ptr<AacEncoder>& aac,
                    const std::shared_ptr<PcmS16Packer>& pcm, const std::shared_ptr<FrameGate>& gate,
                    const std::string& stopLine);
  AudioStart startAudioSource(const std::shared_ptr<SystemAudioSource>& source,
                              const std::shared_ptr<FrameGate>& gate, std::string& error);
  void sendAacConfig();
  void stopAudioSource(std::shared_ptr<SystemAudioSource>& slot);

  std::shared_ptr<SystemAudioSource> audioSource_;  // the simple capture route
  std::shared_ptr<SystemAudioSource> audioTapBox_;  // the process-tap route
  std::shared_ptr<AacEncoder> aac_;
  std::shared_ptr<FrameGate> audioGate_;  // closed before a source is stopped
  std::optional<Bytes> aacConfig_;
  // ==== end of audio passthrough =============================================

  // ==== Capture health (M2PipelineHealth.cpp) ===============================
  uint64_t healthNow() const;
  // Replaces the timer in `slot` (one of the three below); refused once serving
  // has stopped, so nothing is armed after the fence.
  void armHealthTimer(std::shared_ptr<void>& slot, uint64_t delayNs, uint64_t intervalNs,
                      std::function<void(M2Pipeline&)> tick);
  // Before the stop fence: no health tick starts after this returns.
  void cancelHealthTimers();
  void startStallWatchdog();
  void checkCaptureStall();
  ProbeVerdict probeStaticScreen(const std::shared_ptr<CaptureSource>& source);
  void restartCapture();
  void kickFirstFrame(uint64_t deliveryCountAtStart);
  void handleCaptureStopped(const std::weak_ptr<CaptureSource>& stopped, const std::optional<std::string>& error);
  void armCaptureRecoveryTick(double afterSeconds);
  void captureRecoveryTick();

  std::mutex healthTimerLock_;
  std::shared_ptr<void> stallWatchdog_;                    // under healthTimerLock_
  std::shared_ptr<void> recoveryTimer_;                    // under healthTimerLock_
  std::shared_ptr<void> firstFrameKick_;                   // under healthTimerLock_
  uint64_t stallBackoffNs_ = kStallQuietNs;                // reconfigQueue_
  uint64_t lastStallRestartNs_ = 0;                        // reconfigQueue_
  uint64_t lastSeenDeliveryCount_ = 0;                     // reconfigQueue_
  std::optional<uint64_t> staticProbeHash_;                // reconfigQueue_
  bool staticEpisodeLogged_ = false;                       // reconfigQueue_
  bool captureRecoveryArmed_ = false;                      // reconfigQueue_
  int64_t captureRecoveryAttempt_ = 0;                     // reconfigQueue_
  // ==== end of capture health ================================================
};

}  // namespace lumenrail

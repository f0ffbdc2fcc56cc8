#pragma once

// One serving session: owns the wire server, the encoder, the pacing pump,
// the screen capture, the virtual display, the USB bridges, the Bonjour
// advertisement and the input injectors for one start/stop cycle, and
// carries each captured frame to the clients.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "input/ForegroundAppWatcher.hpp"
#include "input/KeyComboInjector.hpp"
#include "input/PenInjector.hpp"
#include "links/AoaServeBridge.hpp"
#include "links/BonjourAdvertiser.hpp"
#include "links/UsbmuxServeBridge.hpp"
#include "media/CaptureServePump.hpp"
#include "media/FrameScaler.hpp"
#include "media/InkObserver.hpp"
#include "media/ScreenCaptureSource.hpp"
#include "media/ViewportCropper.hpp"
#include "media/ViewportGeometry.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "media/VirtualDisplayManager.hpp"
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

  struct Config {
    Mode mode;
    uint16_t port = Wire::defaultPort;  // 0 picks a free port (see boundPort())
    bool captureMain = false;           // mirror the main display instead of extending
    bool usb = false;
    std::optional<Bytes> psk;
    bool penHighRate = false;
    // The process arguments, for the switches the session reads itself.
    std::vector<std::string> arguments;
    std::string xDisplay;  // ":N"; empty means $DISPLAY
    Log::Sink log;         // every status line; standard output when unset
    PublisherFactory publisherFactory;  // Avahi when unset
    uint64_t captureStartWaitNs = 8 * kNsPerSecond;
    // Runs on the capture-start thread before the capture starts (tests).
    std::function<void()> beforeCaptureStart;
  };

  enum class CaptureStart { started, timedOut, failed, aborted };

  // Builds and wires everything; starts nothing. Throws std::invalid_argument
  // for a mode the encoder and Hello cannot carry.
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

  // Set before startServing(); called on the session's own queue.
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
  void stopCapture();
  void onFrame(const PixelBufferRef& buffer, uint64_t captureNs);
  void encodeFrame(const PixelBufferRef& buffer, uint64_t captureNs, bool force);
  void attachSink(VideoToolboxEncoder& encoder);
  // Runs `work` on the reconfiguration queue unless serving has stopped by
  // then. Such work waits until startServing() has finished and is drained
  // by stopServing() before anything is taken down, so it never overlaps the
  // start or the teardown.
  void postReconfig(std::function<void(M2Pipeline&)> work);
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
  const bool penHighRate_;
  const bool audioEnabled_;
  const bool audioForceSck_;

  SerialQueue reconfigQueue_{kReconfigQueueLabel};
  // Signalled when startServing() has finished, at stop and at destruction;
  // the reconfiguration queue holds its work until then.
  const std::shared_ptr<OneShotEvent> startSettled_ = std::make_shared<OneShotEvent>();
  std::shared_ptr<FrameStallProbe> stallProbe_;
  std::shared_ptr<WireServer> server_;
  std::shared_ptr<BonjourAdvertiser> advertiser_;
  std::shared_ptr<VideoToolboxEncoder> encoder_;  // guarded by encoderLock_
  mutable std::mutex encoderLock_;
  std::shared_ptr<UsbmuxServeBridge> usbBridge_;
  std::shared_ptr<AoaServeBridge> aoaBridge_;

  std::shared_ptr<Target> target_ = std::make_shared<Target>();
  // vd_ and source_ belong to the start path, the reconfiguration queue and
  // the teardown, which never run at the same time (see postReconfig).
  std::unique_ptr<VirtualDisplayManager> vd_;
  std::atomic<uint32_t> vdId_{0};

  std::shared_ptr<CaptureServePump> pump_;
  std::shared_ptr<ScreenCaptureSource> source_;
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

  Mode mode_;  // guarded by encoderLock_: the pacer reads it with the encoder
  Wire::Codec codec_ = Wire::Codec::h264;

  std::shared_ptr<PenInjectors> pen_;
  std::shared_ptr<KeyComboInjector> keys_;
  std::shared_ptr<ForegroundAppWatcher> foreground_;

  // Capture-start threads; a late one stops its own capture.
  std::mutex startThreadsLock_;
  std::vector<NamedThread> startThreads_;
};

}  // namespace lumenrail

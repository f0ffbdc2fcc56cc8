#pragma once

// One serving session: builds, for one start/stop cycle, the wire server, the
// pacing pump, the USB bridges, the Bonjour advertisement and the input
// injectors, and the collaborators that do the session's jobs: the capture
// and its health (CaptureControl), the main and small-lane encoders
// (LaneEncoders) and each lane's frames from the pump to its clients
// (VideoStream), the display mode (DisplayModeControl) and the audio
// passthrough (AudioPassthrough). It wires them together, brings them up and
// down in order, and runs every live change on its reconfiguration queue.
// Every desktop service comes from its DesktopEnvironment; the switches come
// typed from the entry; the session itself calls no OS library.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "desktop/DesktopEnvironment.hpp"
#include "input/ForegroundAppWatcher.hpp"
#include "input/KeyComboInjector.hpp"
#include "input/PenInjector.hpp"
#include "links/AoaServeBridge.hpp"
#include "links/BonjourAdvertiser.hpp"
#include "links/UsbmuxServeBridge.hpp"
#include "media/CaptureServePump.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "platform/OneShotEvent.hpp"
#include "platform/SerialQueue.hpp"
#include "session/AudioPassthrough.hpp"
#include "session/BoundedWaits.hpp"
#include "session/CaptureControl.hpp"
#include "session/DisplayModeControl.hpp"
#include "session/LaneEncoders.hpp"
#include "session/PendingWishes.hpp"
#include "session/ServeSwitches.hpp"
#include "session/VideoStream.hpp"
#include "wire/ClientModePolicy.hpp"
#include "wire/FrameStallProbe.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

class M2Pipeline final : public std::enable_shared_from_this<M2Pipeline> {
 public:
  using Mode = ClientModePolicy::Mode;
  using CaptureStart = CaptureControl::Start;
  using RebuildResult = LaneEncoders::Rebuild;

  struct Config {
    Mode mode;
    uint16_t port = Wire::defaultPort;  // 0 picks a free port (see boundPort())
    bool captureMain = false;           // mirror the main display instead of extending
    bool usb = false;
    std::optional<Bytes> psk;
    std::optional<WireServer::Pairing> pairing;  // offered to network clients when set
    bool penHighRate = false;
    // The command-line and environment switches, read once at the entry.
    ServeSwitches switches;
    // Capture, encoders, displays, audio and input; required.
    std::shared_ptr<DesktopEnvironment> desktop;
    Log::Sink log;  // every status line; standard output when unset
    PublisherFactory publisherFactory;  // Avahi when unset
    uint64_t captureStartWaitNs = 8 * kNsPerSecond;
    // Runs on the capture-start thread before the capture starts (tests).
    std::function<void()> beforeCaptureStart;
    uint64_t audioStartWaitNs = 8 * kNsPerSecond;
    // The capture-health timers and their clock; the reconfiguration queue when unset.
    std::shared_ptr<Executor> healthTimers;
    // Times the settle of the clients' wishes; the reconfiguration queue when unset.
    std::shared_ptr<Executor> wishTimers;
    // Runs the owner's hooks (onClientMustUpdate, onClientNamed) on its main
    // queue; unset, they run on the connection thread that reports them.
    std::shared_ptr<Executor> mainQueue;
  };

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
  // Why the last start failed, in the owner's words; read on the thread that
  // called startServing(), after it returned false. Empty when not known.
  const std::string& startFailure() const { return startFailure_; }

  uint16_t boundPort() const { return server_->boundPort(); }
  bool captureMain() const { return display_->mirroring(); }
  bool extendRefused() const { return display_->extendRefused(); }
  // The virtual display's id, 0 when there is none.
  uint32_t virtualDisplayID() const { return display_->displayID(); }
  // For the tray application; any thread.
  const std::shared_ptr<WireServer>& server() const { return server_; }
  Mode mode() const { return lanes_->mode(); }
  bool penHighRateApplied() const { return display_->penHighRateApplied(); }

  // Set before startServing(); called through Config::mainQueue, also while
  // a start is still running, and never once the pipeline is gone.
  std::function<void(const std::optional<std::string>&)> onClientMustUpdate;
  std::function<void(const std::string&, bool)> onClientNamed;

  static Wire::HelloParams hello(const Mode& mode, Wire::Codec codec) { return LaneEncoders::hello(mode, codec); }
  static std::string label(const Mode& mode) { return LaneEncoders::label(mode); }

  static constexpr uint64_t kCaptureStopWaitNs = 5 * kNsPerSecond;
  static constexpr const char* kReconfigQueueLabel = "quillmark.lumenrail.m2.reconfig";

  // ==== Live reconfiguration (LiveReconfiguration.cpp) ====================
  // Entry points only post to the reconfiguration queue; work queued while a
  // start is running waits for it, and nothing runs once serving has stopped.
  // A display mode waits with the clients' other wishes (PendingWishes).
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

 private:
  explicit M2Pipeline(Config config);
  // Builds the parts and the collaborators and connects them.
  void wire();
  // Sets every hook of the server; nothing else sets one.
  void wireServerHooks();
  void say(const std::string& line) const { log_(line); }
  bool startLocked();
  void stopLocked();
  std::function<void(std::function<void()>)> queuePoster();

  // Holds the reconfiguration queue until startServing() has finished.
  void holdReconfigurationForStart();
  void endReconfigurationHold(bool serving);
  // Lets queued work finish before the session is taken down.
  void quiesceReconfiguration();
  void postReconfig(std::function<void(M2Pipeline&)> work);
  // The steps of a rebuild around the main encoder (see LaneEncoders::RebuildSteps).
  void takeDownForRebuild(const Mode& m);
  RebuildResult bringUpAfterRebuild(const Mode& m);
  void setPrimary(std::optional<int32_t> fd);
  // The newest wishes of the clients still connected, after their settle.
  // On the reconfiguration queue, as applyCaptureMain().
  void applyWishes();
  void applyModeWish(int32_t fd, const Mode& wanted);
  // The client whose wish set the stream mode left: back to what the
  // primary asked for, else to the session's own mode.
  void releaseModeOf(int32_t fd);
  // True when the stream now runs `to`.
  bool reconfigure(const Mode& to);
  void updateSmallLane();
  void applyCaptureMain(bool on);

  const Config config_;
  const Log::Sink log_;
  const std::shared_ptr<BoundedWaits> waits_;
  const std::shared_ptr<SerialQueue> reconfigQueue_;
  std::shared_ptr<WireServer> server_;
  std::shared_ptr<BonjourAdvertiser> advertiser_;
  std::shared_ptr<UsbmuxServeBridge> usbBridge_;
  std::shared_ptr<AoaServeBridge> aoaBridge_;
  std::shared_ptr<CaptureServePump> pump_;
  std::shared_ptr<DisplayModeControl> display_;
  std::shared_ptr<VideoStream> video_;  // the main lane's, which feeds the small lane's
  std::shared_ptr<LaneEncoders> lanes_;
  std::shared_ptr<CaptureControl> capture_;
  std::shared_ptr<AudioPassthrough> audio_;
  std::shared_ptr<PenInjectors> pen_;
  std::shared_ptr<KeyComboInjector> keys_;
  std::shared_ptr<ForegroundAppWatcher> foreground_;
  std::shared_ptr<PendingWishes> wishes_;

  std::string startFailure_;
  // Serialises startServing() and stopServing().
  std::mutex lifecycleLock_;
  bool started_ = false;
  bool tornDown_ = false;
  std::shared_ptr<OneShotEvent> startHold_ = std::make_shared<OneShotEvent>();
  std::atomic<bool> reconfigOpen_{false};

  // Display-mode ownership; the queue's.
  std::optional<int32_t> primaryClientFd_;
  std::map<int32_t, Mode> lastMode_;
  // The client whose wish the stream mode is; none: the session's own mode.
  std::optional<int32_t> modeSetter_;
  mutable std::mutex mainLock_;
  std::optional<std::string> mainFingerprint_;  // under mainLock_
};

}  // namespace lumenrail

#pragma once

// The host's TCP server for the wire protocol: it accepts connections, keeps
// the places they may take and the table of registered clients, and fans
// encoded frames, audio and control messages out to the clients' bounded
// queues without ever blocking on a slow client.
//
// Each connection is a ClientSession, with its connection thread (security
// choice, proof, greeting, read loop, teardown) and a write thread draining
// its queue. The pairing prologue, the clients' merged wishes, the version
// gate, the degradation advisory and the admission of unproven links are
// classes of their own (wire/); the server wires them into its sessions.
//
// Lock order: clientsMutex_ or helloMutex_ before any ClientConn::mutex or the
// advisory's lock, never the reverse; no server lock is held while a callback
// runs or a socket is written, but for the viewport lock around onViewportChanged.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "platform/Crypto.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "platform/SerialQueue.hpp"
#include "wire/ClientConn.hpp"
#include "wire/ClientSession.hpp"
#include "wire/ClientWishes.hpp"
#include "wire/DegradationAdvisory.hpp"
#include "wire/FrameStallProbe.hpp"
#include "wire/HostVersionGate.hpp"
#include "wire/KeyframeRequests.hpp"
#include "wire/LineBudget.hpp"
#include "wire/LinkAdmission.hpp"
#include "wire/PairingPrologue.hpp"
#include "wire/PeerVersion.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

class WireServer final : public std::enable_shared_from_this<WireServer> {
 public:
  using Lane = lumenrail::Lane;
  using ClientConn = lumenrail::ClientConn;

  // Network clients that open with the pairing magic run the pairing
  // prologue and get a paired link.
  using Pairing = PairingPrologue::Pairing;

  struct Config {
    uint16_t port = Wire::defaultPort;  // 0 picks a free port (see boundPort())
    // Listens on 127.0.0.1 alone: for a check whose only client is this process.
    bool loopbackOnly = false;
    Wire::HelloParams hello;
    std::optional<Bytes> psk;  // seals network links that do not pair
    std::optional<Pairing> pairing;  // offers the pairing prologue to network clients
    std::optional<std::string> hostAppVersion;  // none: no version report is sent
    std::shared_ptr<FrameStallProbe> stallProbe;
    NowNs nowNs = uptimeNs;
    // Network connections of a sealed or pairing server that have not yet
    // finished their pairing prologue or had a record open: at most this many,
    // and this many from one peer address. A newcomer to a full house takes
    // the place of the one that has made no progress the longest.
    int64_t maxUnauthenticated = 16;
    int64_t maxUnauthenticatedPerAddress = 4;
    // A sealed link that has not opened its first record by then is dropped;
    // until then it is not a client (no callback, no keyframe, no count).
    uint64_t firstRecordTimeoutNs = 5 * kNsPerSecond;
    // Sessions at once (each has two threads): network ones that have proven
    // themselves or need no proof, and cable ones apart, so no number of
    // network peers keeps a USB device out. Beyond, a new one is closed at once.
    int64_t maxSessions = 64;
    int64_t maxCableSessions = 16;
    // Lines about connections that are not yet sessions (refusals, drops,
    // failed handshakes) that any stranger can cause: this many per window,
    // and a count of the rest. The owner's questions and answers are not among them.
    int64_t preSessionLinesPerWindow = 32;
    uint64_t preSessionWindowNs = 10 * kNsPerSecond;
    int64_t versionJudgeDelayMs = HostVersionGate::judgeDelayMs;
    // How long a client refused by the version gate has to take its Bye and
    // close before its socket is forced shut.
    uint64_t refusedByeWaitNs = 500 * kNsPerMs;
    uint64_t degradeIntervalNs = kNsPerSecond;
  };

  // The owner's callbacks, set once before start() or adopt(). They run on the
  // server's threads (connection, timer) with no server lock held; one that
  // throws ends only the session it runs for.
  struct Hooks {
    std::function<void(const std::string&)> onEvent;
    std::function<void()> onClientConnected;
    // Runs while the descriptor is still the client's.
    std::function<void(int32_t)> onClientDisconnected;
    std::function<void(const std::string&)> onClientInfo;
    std::function<void(const std::string&, bool)> onClientNamed;  // once per session: name, over the network
    std::function<void(const std::optional<std::string>&)> onClientMustUpdate;
    std::function<void(const Wire::ClientMode&, int32_t)> onClientMode;
    std::function<void(const std::vector<Wire::InputSample>&, int32_t)> onInput;
    std::function<void(const Wire::InputCaps&, int32_t)> onInputCaps;
    std::function<void(const Wire::KeyChord&, int32_t)> onKeyCombo;
    std::function<void(bool)> onAudioWantedChanged;
    std::function<void(bool)> onHevcWantedChanged;
    std::function<void(const Wire::EncoderConfigRequest&)> onEncoderConfigChanged;
    // What the clients ask of the video, pushed as it happens; the encoding
    // side records it and acts on its next frame (VideoStream, or
    // recordKeyframes() for an owner that feeds an encoder itself).
    // A keyframe for the server's own reasons: a new client, a new Hello, a
    // lane change, frames lost on a lane (at most once an interval per lane).
    std::function<void()> onKeyframeNeeded;
    // A client's RequestIdr or RequestHello; its requests are forgotten in
    // onClientDisconnected.
    std::function<void(int32_t)> onKeyframeAsked;
    // The zoom viewport now wanted: the last any client asked for, the full
    // frame for a new client or a reset. Runs under the server's viewport
    // lock, so changes arrive in the order they were made: it only records.
    std::function<void(const Wire::ViewportRectQ16&)> onViewportChanged;
  };

  // Points the keyframe hooks at `requests`, stamped on `now`, and has
  // onClientDisconnected (set before this) forget the client's requests
  // first; the owner takes from `requests` before each frame, on the same clock.
  static void recordKeyframes(Hooks& hooks, std::shared_ptr<KeyframeRequests> requests, NowNs now);

  enum class ServerErrorKind { socketCreate, bind, listen };
  class ServerError : public std::runtime_error {
   public:
    ServerError(ServerErrorKind kind, int err);
    ServerErrorKind kind;
    int err;  // errno of the failed call
  };

  struct ConnectedClient {
    int32_t fd = -1;
    std::string name;
    std::optional<std::string> fingerprint;
    bool overNetwork = false;
    bool operator==(const ConnectedClient&) const = default;
  };

  // What the clients that stop() or disconnect() says goodbye to get, all at once: time to
  // take the Bye and close. Until then what it still sends is read and
  // dropped (a close over unread bytes resets the link and can take the Bye
  // with it); at the deadline its socket is forced shut.
  static constexpr uint64_t kByeWaitNs = 500 * kNsPerMs;

  // The kernel holds at most this much unsent video per client, and from its
  // writer's first reading of the link's rate only as much as the link
  // carries in a few tens of milliseconds (LinkBudget), so a slow link backs
  // up into the client's own frame queue, where a loss is counted, a keyframe
  // follows and the advisory hears of it, instead of seconds of video waiting
  // in the socket while the client falls behind unseen.
  static constexpr int kUnsentBytesBound = 128 * 1024;
  // Until that first reading, this much unsent, and this much unsent and in
  // flight together: a fast link still takes a first keyframe in a few
  // round trips, and a slow one does not hold seconds of it ahead of the
  // advisory or the Bye.
  static constexpr int kFirstUnsentBytes = 16 * 1024;
  static constexpr int kFirstKernelBytes = 64 * 1024;
  // Never fewer whole segments than this unsent and in flight.
  static constexpr int kSegmentsInFlight = 8;

  // Threads hold the server weakly, so it lives in a shared_ptr.
  static std::shared_ptr<WireServer> create(Config config);
  ~WireServer();
  WireServer(const WireServer&) = delete;
  WireServer& operator=(const WireServer&) = delete;

  // Throws std::logic_error once the server has started or adopted a connection.
  void setHooks(Hooks hooks);

  // Lifecycle.
  // Throws ServerError, or std::logic_error after stop(): a stopped server
  // never listens again (make a new one).
  void start();
  void stop();
  void adopt(int fd, std::function<void()> onClose);
  uint16_t boundPort() const { return boundPort_.load(); }

  // Whether start() on `port` would find it taken, asked without listening,
  // so a serve can say so before it touches a display.
  static bool portInUse(uint16_t port);
  // "port N is already in use (another Lumenrail host?)"
  static std::string portInUseText(uint16_t port);
  // Why start() on `port` would fail to listen, in the user's words (a taken
  // port, one reserved for root), or nothing; asked without listening.
  static std::optional<std::string> listenProblem(uint16_t port);
  // A start error as the user reads it: a taken or reserved port is named with the likely cause.
  static std::string startErrorText(const std::exception& error, uint16_t port);

  // Fan-out.
  void broadcast(uint64_t captureTicks, bool keyframe, ByteView accessUnit, Lane lane = Lane::main);
  void broadcastAudio(uint64_t captureTicks, Wire::AudioCodec codec, bool config, uint8_t channels,
                      uint32_t sampleRate, ByteView data);
  void broadcastInkObserved(uint64_t captureTicks);
  void broadcastForegroundApp(std::string_view name);
  void broadcastViewportApplied(const Wire::ViewportRectQ16& viewport);
  void broadcastEncoderConfigApplied(const Wire::EncoderConfigRequest& request);
  void rebroadcastHello(const Wire::HelloParams& hello);
  void setSmallLane(const std::optional<Wire::HelloParams>& hello, const std::set<int32_t>& members);
  SharedPacket helloPacket(const ClientConn& conn);
  // Back to the full frame (onViewportChanged).
  void resetViewport();

  // Merged wishes of the registered clients.
  bool audioWanted() const { return wishes().audio(); }
  bool audioPcmWanted() const { return wishes().audioPcm(); }
  bool audioAacWanted() const { return wishes().audioAac(); }
  bool hevcWanted() const { return wishes().hevc(); }
  Wire::EncoderConfigRequest resolvedEncoderConfig() const { return wishes().encoderConfig(); }
  int64_t clientCount() const;
  std::vector<ConnectedClient> connectedClients() const;
  int64_t disconnect(const std::string& fingerprint);
  bool forceAacAudio() const { return forceAacAudio_.load(); }
  void setForceAacAudio(bool on) { forceAacAudio_.store(on); }

  // Degradation advisory: one judgement of the evictions since the last tick.
  void degradeTick();
  bool encodeDegraded() const { return advisory_.degraded(); }
  // While the capture is down no frame comes however well the links keep up:
  // the clients are told through the same flag, raised whatever the evictions say.
  void setCaptureDown(bool down);

  // Version report and gate.
  void setVersionVerdict(int64_t floor, HostUpdate hostUpdate, const std::string& updateVersion);
  int64_t clientFloor() const { return versionGate_.clientFloor(); }
  std::optional<PeerVersion> peerVersion(int32_t fd) const;

 private:
  explicit WireServer(Config config);

  friend class ClientSession;

  void event(const std::string& line) const;
  static void acceptLoop(const std::weak_ptr<WireServer>& weak);
  // Counts a new connection and starts its session thread; one that finds
  // no place or no thread is closed at once.
  void spawnHandler(int fd, std::optional<Bytes> psk, bool offerPairing, bool cable, std::function<void()> onClose);
  // Every thread of the server is made here; throws std::system_error.
  NamedThread startThread(std::string name, std::function<void()> body);
  // Runs a callback of the owner; true when it returned, false (with a line)
  // when it threw.
  bool guarded(const char* what, int fd, const std::function<void()>& call);
  // A line any stranger can cause before a session exists, within the budget.
  void preSessionEvent(const std::string& line);
  // The count of such lines left out, and of the owner's questions never
  // shown, told once the window has passed; tellUntold() tells them now.
  void tellUntoldLater();
  void tellUntold();
  // Counts a new connection: among the unproven when it must prove its peer,
  // else among the sessions. False: refused (the caller closes it).
  bool admit(const std::shared_ptr<ClientSession>& session, bool mustProve);
  // The session has proven its peer (prologue done or first record opened):
  // it leaves the unproven and takes a session's place. False: no place.
  bool proven(ClientSession& session, const std::optional<Crypto::Sha256Digest>& firstRecord);
  // Its place among the unproven is given back (any number of times).
  void leaveUnproven(ClientSession& session);
  // The session thread has ended: it holds no place any more.
  void forgetSession(const std::shared_ptr<ClientSession>& session);

  // The client table. A session enters it unless stop() has taken the
  // clients already (false); leaving says whether the table is now empty.
  bool enterTable(const std::shared_ptr<ClientConn>& conn);
  bool leaveTable(const std::shared_ptr<ClientConn>& conn);

  // Waits for `event` until `deadlineNs` on the server's clock, which a test
  // may move by hand: the wait wakes in slices to look at it.
  bool waitUntil(OneShotEvent& event, uint64_t deadlineNs) const;

  // The last viewport any client asked for wins; true when the one before was the full frame.
  bool storeViewport(const Wire::ViewportRectQ16& viewport);
  void keyframeNeeded() const;
  void keyframeAsked(int32_t fd) const;
  // The teardown's announcements of the merges the departed client was part of.
  void announceDeparture(const ClientConn& conn);
  std::vector<std::shared_ptr<ClientConn>> clientList() const;
  ClientWishes wishes() const;
  void queueHelloAndVersion(ClientConn& conn);
  void requestLossKeyframe(Lane lane);
  void broadcastAdvisory();
  void resetDegradation();
  void setDegraded(bool degraded);  // the evictions' verdict
  // Sets one cause under clientsMutex_ and sends the Advisory when the flag changed.
  void setDegradedCause(bool WireServer::*cause, bool on);
  // The version judge runs on the timer queue after the delay, or at once on
  // the client's ClientMode, whichever comes first; false: the session ends.
  void armVersionJudge(const std::shared_ptr<ClientConn>& conn);
  bool judgeVersion(const std::shared_ptr<ClientConn>& conn);

  const Config config_;
  Hooks hooks_;
  std::atomic<bool> hooksFixed_{false};  // start() or adopt() has run
  std::atomic<int> listenFd_{-1};
  std::atomic<bool> accepting_{false};
  std::atomic<bool> stopped_{false};  // also closes registrations: stop() takes the last clients
  std::atomic<uint16_t> boundPort_{0};
  std::atomic<bool> forceAacAudio_{false};
  std::atomic<uint32_t> frameIdCounter_{0};
  // When lost frames on each lane last asked for a keyframe. A client that
  // lost frames waits at most this long for one (plus the encode) however
  // often it loses, and one that never reads costs the others no more.
  static constexpr uint64_t kLossKeyframeIntervalNs = 500 * kNsPerMs;
  static constexpr uint64_t kNever = UINT64_MAX;
  std::atomic<uint64_t> lossKeyframeNs_[2] = {kNever, kNever};
  NamedThread acceptThread_;
  OneShotEvent stopEvent_;

  mutable std::mutex helloMutex_;
  Wire::HelloParams hello_;
  std::optional<Wire::HelloParams> smallHello_;

  mutable std::mutex clientsMutex_;
  std::map<int32_t, std::shared_ptr<ClientConn>> clients_;

  mutable std::mutex viewportMutex_;
  Wire::ViewportRectQ16 desiredViewport_ = Wire::ViewportRectQ16::full();

  // Session threads, so stop() can wait for the sessions it ends.
  std::mutex sessionsMutex_;
  std::set<std::shared_ptr<ClientSession>> sessions_;

  static constexpr int kListenBacklog = 128;
  LinkAdmission admission_{{config_.maxUnauthenticated, config_.maxUnauthenticatedPerAddress}};
  std::mutex preSessionMutex_;
  LineBudget preSessionLines_{config_.preSessionLinesPerWindow, config_.preSessionWindowNs};
  bool untoldDue_ = false;  // guarded by preSessionMutex_
  // Sessions holding a place, by kind; guarded by sessionsMutex_.
  int64_t networkSessions_ = 0;
  int64_t cableSessions_ = 0;
  HostVersionGate versionGate_{config_.hostAppVersion};
  DegradationAdvisory advisory_{[this](const std::string& line) { event(line); }};
  // The flag's causes; under clientsMutex_.
  bool lagging_ = false;
  bool captureDown_ = false;
  std::unique_ptr<PairingPrologue> prologue_;  // with a pairing set-up

  // Tests only: this many thread creations from now on fail.
  std::atomic<int> failThreadsForTesting_{0};

  // Degradation ticks and version judges.
  SerialQueue timerQueue_{"lumenrail.degrade"};

  friend class WireServerTestPeer;
};

}  // namespace lumenrail

#pragma once

// The host's TCP server for the wire protocol: one session per client, each
// with a connection thread (security choice, greeting, read loop, teardown)
// and a write thread draining the client's bounded send queue. Encoded frames,
// audio and control messages fan out to the queues without ever blocking on a
// slow client.
//
// Lock order: clientsMutex_ or helloMutex_ before any ClientConn::mutex, never
// the reverse; no server lock is held while a callback runs or a socket is
// written.

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
#include "platform/Ed25519.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "platform/SerialQueue.hpp"
#include "platform/SymmetricKey.hpp"
#include "wire/ClientConn.hpp"
#include "wire/DegradationPolicy.hpp"
#include "wire/FrameStallProbe.hpp"
#include "wire/PeerVersion.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

class WifiRecordSealer;
class WifiRecordOpener;
class PairedDevicesStore;

class WireServer final : public std::enable_shared_from_this<WireServer> {
 public:
  using Lane = lumenrail::Lane;
  using ClientConn = lumenrail::ClientConn;

  // The pairing set-up: network clients that open with the pairing magic run
  // the pairing prologue and get a paired link.
  struct Pairing {
    // Six-digit code, fingerprint, device name (cleaned of control and format
    // characters); blocks until the owner answers, true = allow. Runs on an
    // approval thread that holds nothing of the server.
    using Approve = std::function<bool(const std::string& sas, const std::string& fingerprint,
                                       const std::string& name)>;
    // Dismisses the pending prompt of the device with this fingerprint.
    using CancelApprove = std::function<void(const std::string& fingerprint)>;

    Pairing(Ed25519PrivateKey identity, std::shared_ptr<PairedDevicesStore> peers, Approve approve,
            CancelApprove cancelApprove = {});

    Ed25519PrivateKey identity;
    std::shared_ptr<PairedDevicesStore> peers;
    Approve approve;
    CancelApprove cancelApprove;  // empty: none
    int64_t approvalTimeoutSeconds = 120;
  };

  struct Config {
    uint16_t port = Wire::defaultPort;  // 0 picks a free port (see boundPort())
    Wire::HelloParams hello;
    std::optional<Bytes> psk;  // seals network links that do not pair
    std::optional<Pairing> pairing;  // offers the pairing prologue to network clients
  };

  // The hand-off of the owner's answer from the approval thread to the
  // connection thread. The approval thread holds only this box (and its own
  // copies of the approver and its arguments), so a late answer lands here
  // whatever became of the session or the server.
  struct ApprovalBox {
    OneShotEvent sem;  // signalled once the answer is in
    std::mutex lock;   // guards the flags below
    bool decision = false;
    bool asking = false;     // the approver has been (or is being) called
    bool answered = false;   // the approver has returned
    bool abandoned = false;  // the prologue no longer waits: a queued prompt is never shown
  };

  // What the first bytes of a new pairing-server connection are.
  enum class Sniff { prelude, otherBytes, closed, nothing };

  // The prologue's result: the root key of the link and the client's fingerprint.
  struct PrologueResult {
    SymmetricKey root;
    std::string fingerprint;
  };

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

  static constexpr int64_t kMaxFramesPerClient = 4;
  // The largest legal client packet is an Input packet of about 1 MB; a
  // longer length ends the session before anything is allocated.
  static constexpr uint32_t kMaxClientPayload = 2 * 1024 * 1024;
  // The length prefix of the largest record a client sends: that packet,
  // sealed (header, payload and the 16-byte tag).
  static constexpr uint32_t kMaxClientRecordLength = Wire::headerSize + kMaxClientPayload + 16;

  // Threads hold the server weakly, so it lives in a shared_ptr.
  static std::shared_ptr<WireServer> create(Config config);
  ~WireServer();
  WireServer(const WireServer&) = delete;
  WireServer& operator=(const WireServer&) = delete;

  // Callbacks and settings: set before start(), never changed while running.
  std::function<void(const std::string&)> onEvent;
  std::shared_ptr<FrameStallProbe> stallProbe;
  std::function<void(const Wire::ClientMode&, int32_t)> onClientMode;
  std::function<void(const std::vector<Wire::InputSample>&, int32_t)> onInput;
  std::function<void(const Wire::InputCaps&, int32_t)> onInputCaps;
  std::function<void(bool)> onAudioWantedChanged;
  std::function<void(bool)> onHevcWantedChanged;
  std::function<void(const Wire::KeyChord&, int32_t)> onKeyCombo;
  std::function<void(const Wire::EncoderConfigRequest&)> onEncoderConfigChanged;
  std::function<void(int32_t)> onClientDisconnected;
  std::function<void()> onClientConnected;
  std::function<void(const std::string&)> onClientInfo;
  std::function<void(const std::string&, bool)> onClientNamed;
  std::optional<std::string> hostAppVersion;
  std::function<void(const std::optional<std::string>&)> onClientMustUpdate;
  int64_t versionJudgeDelayMs = HostVersionGate::judgeDelayMs;
  uint64_t degradeIntervalNs = kNsPerSecond;
  NowNs nowNs = uptimeNs;
  // Pairing bounds: the exchange from the magic to ClientConfirm finishes
  // within prologueTimeoutNs (then the owner has approvalTimeoutSeconds); at
  // most maxPrologues run at once. The owner is asked about one new device at
  // a time, and at most maxWaitingApprovals more (one per fingerprint) wait
  // behind that question; a new device beyond them gets HostReject at once.
  uint64_t prologueTimeoutNs = 120 * kNsPerSecond;
  int64_t maxPrologues = 8;
  int64_t maxWaitingApprovals = 4;
  // Network connections of a sealed or pairing server that have not yet
  // finished their pairing prologue or had a record open: beyond this many a
  // new connection is closed at once.
  int64_t maxUnauthenticated = 16;
  // How long a client refused by the version gate has for its Bye before its
  // socket is shut.
  uint64_t refusedByeWaitNs = 500 * kNsPerMs;

  // Lifecycle.
  // Throws ServerError, or std::logic_error after stop(): a stopped server
  // never listens again (make a new one).
  void start();
  void stop();
  void adopt(int fd, std::function<void()> onClose);
  uint16_t boundPort() const { return boundPort_.load(); }

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
  bool takeIdrRequest();
  Wire::ViewportRectQ16 desiredViewport() const;
  void resetViewport();

  // Merged wishes of the registered clients.
  bool audioWanted() const;
  bool audioPcmWanted() const;
  bool audioAacWanted() const;
  bool hevcWanted() const;
  Wire::EncoderConfigRequest resolvedEncoderConfig() const;
  int64_t clientCount() const;
  std::vector<ConnectedClient> connectedClients() const;
  int64_t disconnect(const std::string& fingerprint);
  bool forceAacAudio() const { return forceAacAudio_.load(); }
  void setForceAacAudio(bool on) { forceAacAudio_.store(on); }

  // Degradation advisory.
  void degradeTick();
  void broadcastAdvisory();
  void resetDegradation();
  void setDegraded(bool degraded);
  bool encodeDegraded() const;

  // Version report and gate.
  std::optional<Bytes> hostPeerVersionPacket();
  void setVersionVerdict(int64_t floor, HostUpdate hostUpdate, const std::string& updateVersion);
  int64_t clientFloor() const;
  std::optional<PeerVersion> peerVersion(int32_t fd) const;
  void armVersionJudge(const std::shared_ptr<ClientConn>& conn);
  bool judgeVersion(const std::shared_ptr<ClientConn>& conn);

 private:
  explicit WireServer(Config config);

  struct Session;
  class PlaintextReader;

  void event(const std::string& line) const;
  static void acceptLoop(const std::weak_ptr<WireServer>& weak);
  void spawnHandler(int fd, std::optional<Bytes> psk, bool offerPairing, bool cable, std::function<void()> onClose);
  void handleClient(int fd, const std::optional<Bytes>& psk, const Pairing* pairing, bool cable, Session& session);
  // Every thread of the server is made here; throws std::system_error.
  NamedThread startThread(std::string name, std::function<void()> body);
  // Runs a callback of the owner; true when it returned, false (with a line)
  // when it threw.
  template <class F>
  bool guarded(const char* what, int fd, F&& call);
  // The session has proven its peer (prologue done or first record opened).
  void authenticated(Session& session);
  // Closes a socket that no ClientConn owns yet; stop() no longer sees it first.
  void closeUnregistered(int fd, Session& session);
  // The owner's close hook, then the end stop() waits for; a hook that throws
  // changes neither.
  static void endSession(const std::function<void()>& onClose, Session& session);

  // Pairing prologue (WireServerPairing.cpp).
  static Sniff sniffPrelude(int fd);
  class PrologueReader;
  std::optional<PrologueResult> runPairingPrologue(int fd, const Pairing& pairing);
  struct PrologueState;
  std::optional<PrologueResult> pairingExchange(int fd, const Pairing& pairing, PrologueState& state);
  // Slots for the bounds above; false (with a line) when the bound is reached.
  bool enterPrologue(const std::string& tag);
  void leavePrologue();
  bool holdPrompt(const std::string& fingerprint, const std::string& tag);
  void releasePrompt(const std::string& fingerprint);
  void withdrawApproval(PrologueState& state, const Pairing& pairing);
  // Hands the question to the approval desk; false (with a line) when no
  // thread could be started to ask it.
  bool askOwner(const Pairing& pairing, const std::string& sas, const std::string& fingerprint,
                const std::string& name, PrologueState& state);
  // Waits for the owner's answer while checking that the client is still there.
  enum class Answer { approved, refused, none };
  Answer awaitApproval(int fd, ApprovalBox& box, uint64_t deadlineNs);
  // The paired greeting: the sealed Hello and version report, then up to 2 s
  // for the client to stay. False ends the connection.
  struct Greeting {
    Bytes hello;
    std::optional<Bytes> version;
  };
  bool greetPaired(int fd, WifiRecordSealer& sealer, Greeting& sent);
  // `onFirstRecord` runs once, when the first sealed record has opened.
  void readLoop(const std::shared_ptr<ClientConn>& conn, WifiRecordOpener* opener,
                const std::function<void()>& onFirstRecord = {});
  bool dispatch(const std::shared_ptr<ClientConn>& conn, uint8_t code, ByteView payload);
  void writeLoop(const std::shared_ptr<ClientConn>& conn, WifiRecordSealer* sealer);
  bool sendPacket(int fd, ByteView packet, WifiRecordSealer* sealer);
  void handleClientCaps(ClientConn& conn, ByteView payload);
  void handleClientInfo(ClientConn& conn, ByteView payload);
  void handleViewport(ClientConn& conn, ByteView payload);
  void handleEncoderConfig(ClientConn& conn, ByteView payload);
  void handlePeerVersion(ClientConn& conn, ByteView payload);
  std::vector<std::shared_ptr<ClientConn>> clientList() const;
  void queueHelloAndVersion(ClientConn& conn);
  void setIdrPending();

  Config config_;
  std::atomic<int> listenFd_{-1};
  std::atomic<bool> accepting_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<uint16_t> boundPort_{0};
  std::atomic<bool> forceAacAudio_{false};
  NamedThread acceptThread_;
  OneShotEvent stopEvent_;

  mutable std::mutex helloMutex_;
  Wire::HelloParams hello_;
  std::optional<Wire::HelloParams> smallHello_;
  int64_t versionFloor_ = 0;
  HostUpdate versionUpdate_ = HostUpdate::none;
  std::string versionUpdateName_;

  mutable std::mutex clientsMutex_;
  std::map<int32_t, std::shared_ptr<ClientConn>> clients_;
  bool registrationsClosed_ = false;  // set by stop() as it takes the last clients
  bool encodeDegraded_ = false;

  mutable std::mutex idrMutex_;
  bool idrPending_ = false;

  mutable std::mutex viewportMutex_;
  Wire::ViewportRectQ16 desiredViewport_ = Wire::ViewportRectQ16::full();

  std::mutex frameIdMutex_;
  uint32_t frameIdCounter_ = 0;

  std::mutex degradeMutex_;
  int64_t evictedThisSecond_ = 0;
  DegradationPolicy degradePolicy_;

  // Session threads, so stop() can wait for the sessions it ends.
  std::mutex sessionsMutex_;
  std::map<uint64_t, std::shared_ptr<Session>> sessions_;
  uint64_t nextSessionId_ = 1;
  int64_t unauthenticated_ = 0;  // sessions counted against maxUnauthenticated

  // Pairing slots, and the desk that asks the owner one question at a time
  // on a single thread of its own.
  std::mutex pairingMutex_;
  int64_t prologues_ = 0;
  std::set<std::string> pendingPrompts_;
  struct ApprovalDesk;
  static std::shared_ptr<ApprovalDesk> newApprovalDesk();
  std::shared_ptr<ApprovalDesk> approvalDesk_ = newApprovalDesk();
  int64_t approvalSeats() const;  // taken seats at the desk

  // Tests only: this many thread creations from now on fail.
  std::atomic<int> failThreadsForTesting_{0};

  // Degradation ticks and version judges.
  SerialQueue timerQueue_{"lumenrail.degrade"};
  SerialQueue::Timer degradeTimer_;

  friend class WireServerTestPeer;
};

}  // namespace lumenrail

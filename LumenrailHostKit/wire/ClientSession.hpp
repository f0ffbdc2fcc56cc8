#pragma once

// One connection of the wire server, on its own connection thread, from the
// moment the server counts it until its socket is closed. It passes its
// stages in order and may leave at any of them:
//
//   admitted  counted by the server: among the links that must still prove
//             their peer, or in a session place
//   sniffed   its security chosen: paired, sealed with the pre-shared key, or
//             plain; a refused link is closed here, unserved
//   proven    the peer has proven itself (pairing prologue, or a first sealed
//             record that opened) or needs no proof, and holds a session place
//   serving   in the server's client table: callbacks fire, the read loop runs
//   closing   out of the table, queue closed, writer joined, then the owner
//             hears of it and the socket is closed
//
// Until it has a ClientConn the session owns its socket itself; from then the
// ClientConn does. The server keeps accept, its table of places and clients,
// and the fan-out to their queues.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "platform/Crypto.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "platform/Socket.hpp"
#include "wire/ClientConn.hpp"
#include "wire/LinkAdmission.hpp"
#include "wire/LinkBudget.hpp"
#include "wire/PairingPrologue.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

class PlaintextReader;
class WireServer;
class WifiRecordSealer;
class WifiRecordOpener;

class ClientSession final : public std::enable_shared_from_this<ClientSession> {
 public:
  enum class Stage : uint8_t { admitted, sniffed, proven, serving, closing };

  // ---- The bounds of each stage ----------------------------------------------
  // Those an owner may set are WireServer::Config's, named here.
  //
  // admitted: a network link that must prove its peer takes one of
  //   Config::maxUnauthenticated places (maxUnauthenticatedPerAddress from one
  //   address), any other a session place (maxSessions, maxCableSessions).
  // sniffed: where pairing is offered, the first bytes are due within this
  //   time of arrival (PairingPrologue::sniff looks for the magic).
  static constexpr uint64_t kSniffWindowNs = PairingPrologue::kSniffWindowNs;
  // proven: each step of the pairing prologue has its deadline
  //   (PairingPrologue::Pairing); a sealed link opens its first record within
  //   Config::firstRecordTimeoutNs of arrival, looked for in slices so that
  //   stop() and the server's clock are both noticed.
  static constexpr uint64_t kFirstRecordSliceNs = 250 * kNsPerMs;
  //   A paired client may leave within the greeting's check, these many
  //   looks of this long, without becoming a session.
  static constexpr int kGreetingChecks = 8;
  static constexpr int64_t kGreetingCheckMs = 250;
  // serving: the send queue holds this many frames (ClientConn bounds the
  //   rest). The largest legal client packet is an Input packet of about 1 MB;
  //   a longer length ends the session before anything is allocated. A sealed
  //   link's records are at most that packet sealed (header, payload, tag).
  static constexpr int64_t kMaxFrames = 4;
  static constexpr uint32_t kMaxClientPayload = 2 * 1024 * 1024;
  static constexpr uint32_t kMaxClientRecordLength = Wire::headerSize + kMaxClientPayload + 16;
  //   A payload grows by this much as its bytes arrive; a sealed link
  //   receives this much at a time.
  static constexpr size_t kPayloadStep = 64 * 1024;
  static constexpr size_t kReceiveBytes = 64 * 1024;
  // closing: the writer has this long to end once its queue is closed before
  //   the socket is forced shut under it. A client the version gate refuses
  //   has Config::refusedByeWaitNs to take its Bye; one that stop() or
  //   disconnect() says goodbye to, WireServer::kByeWaitNs.
  static constexpr uint64_t kWriterGraceNs = 300 * kNsPerMs;

  // `psk` seals a network link that does not pair; a pairing prologue is
  // offered when `offerPairing` and the server has a pairing set-up. Adopted
  // (cable) links are plain and never pair.
  ClientSession(WireServer& server, int fd, std::optional<Bytes> psk, bool offerPairing, bool cable,
                std::function<void()> onClose);
  ~ClientSession();
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Every stage the connection reaches, on the connection thread, while that
  // thread holds the server.
  void run();
  // The owner's close hook, then the end stop() waits for (`done`); a hook
  // that throws changes neither. Runs whether or not run() did.
  void end();

  Stage stage() const { return stage_.load(); }  // how far it came
  int fd() const { return fd_; }
  bool cable() const { return cable_; }
  uint64_t arrivedNs() const { return arrivedNs_; }
  OneShotEvent& done() { return done_; }

 private:
  friend class WireServer;
  enum class Link { plain, sealed, paired };
  // What a paired greeting sent already.
  struct Greeting {
    Bytes hello;
    std::optional<Bytes> version;
  };

  // Stages only go forward.
  void reach(Stage next);
  // admitted → sniffed: the link's security. False: refused and closed.
  bool sniff();
  // sniffed → proven on a pairing link: the prologue, its keys, the greeting.
  bool provePaired();
  // The paired greeting: the sealed Hello and version report, then up to 2 s
  // for the client to stay. False ends the connection.
  bool greetPaired(Greeting& sent);
  // A sealed link's keys from the pre-shared key.
  void sealWithKey();
  // → proven (a sealed link) → serving → closing.
  void serve();
  // Reads until the first sealed record has opened, within the configured
  // time of arrival; false (with a line when the time ran out) drops the link.
  bool awaitFirstRecord(PlaintextReader& reader, std::optional<Crypto::Sha256Digest>& firstRecord);
  void readLoop(const std::shared_ptr<ClientConn>& conn, PlaintextReader& reader);
  void dispatch(const std::shared_ptr<ClientConn>& conn, uint8_t code, ByteView payload);
  void handleClientCaps(ClientConn& conn, ByteView payload);
  void handleClientInfo(ClientConn& conn, ByteView payload);
  void handleViewport(ClientConn& conn, ByteView payload);
  void handleEncoderConfig(ClientConn& conn, ByteView payload);
  void handlePeerVersion(ClientConn& conn, ByteView payload);
  void writeLoop(const std::shared_ptr<ClientConn>& conn);
  // Before each frame: the kernel's and the queue's share of the client's
  // stream, from the link's rate (LinkBudget); the kernel's reading, for a TCP link.
  std::optional<Socket::LinkReading> fitToLink(ClientConn& conn);
  // One queue entry's packets; false when a send failed. `whole` is false
  // when the session closed between its chunks and the rest was given up.
  bool sendEntry(ClientConn& conn, const ClientConn::Work& work, bool& whole);
  // A whole frame in chunks, when the client has asked for chunks since it was queued.
  static void chunkIfAsked(ClientConn& conn, ClientConn::Work& work);
  bool sendPacket(ByteView packet, WifiRecordSealer* sealer);
  // closing: the table, the merges the client was part of, the writer, the
  // lines, the owner, the socket.
  void close(const std::shared_ptr<ClientConn>& conn, NamedThread& writer);
  // Waits for the writer of a closed queue, forcing the socket shut after
  // the grace.
  static void endWriter(ClientConn& conn, NamedThread& writer);
  // A line caused by what the client sent, within its line budget
  // (connection thread only).
  void clientEvent(ClientConn& conn, const std::string& line);
  // Closes the socket no ClientConn owns yet; stop() no longer sees it first.
  void closeUnregistered();

  WireServer& server_;  // alive while the connection thread holds it, and the writer
  const int fd_;
  const std::optional<Bytes> psk_;
  const bool offerPairing_;
  const bool cable_;
  const std::function<void()> onClose_;
  const uint64_t arrivedNs_;  // deadlines before proof count from here
  std::atomic<Stage> stage_{Stage::admitted};
  OneShotEvent done_;

  // Connection thread (and its writer) only.
  Link link_ = Link::plain;
  std::unique_ptr<WifiRecordSealer> sealer_;
  std::unique_ptr<WifiRecordOpener> opener_;
  std::string tag_;  // of "client connected": the link's kind
  std::optional<std::string> fingerprint_;
  std::optional<Greeting> greeted_;
  // Writer only: what the link carries, the kernel's share last set, and the
  // most one send hands the kernel (0: no limit).
  LinkBudget budget_;
  int64_t appliedKernelBytes_ = 0;
  size_t sendPiece_ = 0;

  // Guarded by the server's sessionsMutex_. `heldFd` is the socket while
  // the session owns it without a ClientConn (security choice, pairing
  // prologue, paired greeting): the connection thread clears it under the
  // lock before it closes the socket or hands it to the ClientConn, so stop()
  // or an eviction never shuts down a closed or reused number.
  std::thread::id threadId_;
  int heldFd_;
  std::weak_ptr<ClientConn> conn_;
  // Holds one of the server's session places (network or cable).
  bool counted_ = false;
  // A key-only link's first record opened alone: replays of it look alike.
  std::optional<Crypto::Sha256Digest> firstRecord_;
  bool replayed_ = false;

  // Set once at admission, before the thread starts. Counted by the
  // server's admission until the link proves itself, ends or gives way.
  uint32_t address_ = 0;
  LinkAdmission::Ticket ticket_;
  std::atomic<bool> unproven_{false};
};

}  // namespace lumenrail

#include "wire/ClientSession.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

#include "platform/AwdlStatus.hpp"
#include "platform/Socket.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "wire/PlaintextReader.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {
bool isRetry(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }
}  // namespace

ClientSession::ClientSession(WireServer& server, int fd, std::optional<Bytes> psk, bool offerPairing, bool cable,
                             std::function<void()> onClose)
    : server_(server),
      fd_(fd),
      psk_(std::move(psk)),
      offerPairing_(offerPairing),
      cable_(cable),
      onClose_(std::move(onClose)),
      arrivedNs_(server.config_.nowNs()),
      heldFd_(fd) {}

ClientSession::~ClientSession() = default;

void ClientSession::end() {
  if (onClose_) {
    try {
      onClose_();
    } catch (...) {
      // The owner's close hook failed; the session is over either way.
    }
  }
  done_.signal();
}

void ClientSession::closeUnregistered() {
  {
    std::lock_guard lock(server_.sessionsMutex_);
    heldFd_ = -1;
  }
  ::close(fd_);
}

void ClientSession::reach(Stage next) {
  assert(next > stage_.load() && "a session's stages only go forward");
  stage_ = next;
}

void ClientSession::run() {
  // A link that is not sniffed is read from now on: it may give way.
  if (!(offerPairing_ && server_.prologue_)) server_.admission_.looked(ticket_);
  if (!sniff()) return;
  if (link_ == Link::paired) {
    if (!provePaired()) return;
  } else if (link_ == Link::sealed) {
    sealWithKey();
  } else {
    reach(Stage::proven);  // a plain link needs no proof: its place was taken at admission
  }
  // A client never sends more than its largest packet, sealed: that is all
  // the room a link gets, before its first record and after.
  if (opener_) opener_->limitRecordLength(kMaxClientRecordLength);
  serve();
}

// ---- admitted → sniffed ------------------------------------------------------

bool ClientSession::sniff() {
  link_ = psk_ ? Link::sealed : Link::plain;
  if (offerPairing_ && server_.prologue_) {
    using Sniff = PairingPrologue::Sniff;
    // A link gives way only once its thread has read all that had come: a
    // device that sent its handshake at once is not closed before it is read.
    const auto caughtUp = [this] { server_.admission_.looked(ticket_); };
    const Sniff sniff = PairingPrologue::sniff(fd_, arrivedNs_, server_.config_.nowNs, caughtUp);
    if (sniff != Sniff::prelude) caughtUp();  // what follows reads it at once
    if (!server_.accepting_) {
      closeUnregistered();  // stop() shut the socket: nothing was served
      return false;
    }
    if (sniff == Sniff::prelude) {
      link_ = Link::paired;
    } else if (sniff == Sniff::closed) {
      // Refused whatever else is configured: a peer that is gone needs no link.
      server_.preSessionEvent("probe connection closed without sending " + fdTag(fd_) +
                              " — reachability check, nothing served");
      closeUnregistered();
      return false;
    } else if (!psk_) {
      server_.preSessionEvent("unpaired client refused " + fdTag(fd_) +
                              (sniff == Sniff::otherBytes
                                   ? " — --pair requires the pairing handshake"
                                   : " — connected but sent no pairing handshake; --pair requires it"));
      closeUnregistered();
      return false;
    } else if (sniff == Sniff::otherBytes) {
      // A link that has sent its first bytes came further than a silent one.
      server_.admission_.progress(ticket_, server_.config_.nowNs());
    }
  }
  reach(Stage::sniffed);
  return true;
}

// ---- sniffed → proven ----------------------------------------------------------

bool ClientSession::provePaired() {
  PairingPrologue::Link link;
  link.address = address_;
  link.arrivedNs = arrivedNs_;
  link.progressed = [this] { server_.admission_.progress(ticket_, server_.config_.nowNs()); };
  link.waitsForOwner = [this](bool waits) { server_.admission_.hold(ticket_, waits); };
  link.caughtUp = [this] { server_.admission_.looked(ticket_); };
  auto paired = server_.prologue_->run(fd_, link);
  if (!paired) {
    server_.preSessionEvent("pairing prologue failed — dropping client " + fdTag(fd_));
    closeUnregistered();
    return false;
  }
  if (!server_.proven(*this, std::nullopt)) {
    closeUnregistered();
    return false;
  }
  reach(Stage::proven);
  const auto keys =
      WifiKeySchedule::derive(paired->root, WifiKeySchedule::Role::host, WifiKeySchedule::Flavor::paired);
  sealer_ = std::make_unique<WifiRecordSealer>(keys.sendKey);
  opener_ = std::make_unique<WifiRecordOpener>(keys.recvKey);
  tag_ = " [paired]";
  fingerprint_ = std::move(paired->fingerprint);
  Greeting sent;
  if (!greetPaired(sent)) {
    server_.preSessionEvent("pairing check closed " + fdTag(fd_) + " — no session, nothing served");
    closeUnregistered();
    return false;
  }
  greeted_ = std::move(sent);
  return true;
}

bool ClientSession::greetPaired(Greeting& sent) {
  {
    std::lock_guard lock(server_.helloMutex_);
    sent.hello = Wire::hello(server_.hello_);
  }
  sent.version = server_.versionGate_.reportPacket();
  if (!sendPacket(sent.hello, sealer_.get())) return false;
  if (sent.version && !sendPacket(*sent.version, sealer_.get())) return false;

  // A client that only wanted to pair leaves now; one that stays sends soon
  // or is served after 2 s anyway.
  Socket::setReceiveTimeoutMs(fd_, kGreetingCheckMs);
  bool stays = true;
  for (int tries = 0; tries < kGreetingChecks && server_.accepting_; ++tries) {
    uint8_t byte;
    const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK);
    if (n > 0) break;
    if (n < 0 && isRetry(errno)) continue;
    stays = false;  // closed, or another error
    break;
  }
  Socket::setReceiveTimeoutMs(fd_, 0);
  return stays && server_.accepting_;
}

void ClientSession::sealWithKey() {
  const auto keys = WifiKeySchedule::derive(*psk_, WifiKeySchedule::Role::host, WifiKeySchedule::Flavor::qrPsk);
  sealer_ = std::make_unique<WifiRecordSealer>(keys.sendKey);
  opener_ = std::make_unique<WifiRecordOpener>(keys.recvKey);
  tag_ = " [encrypted]";
}

// ---- (proven) → serving → closing ------------------------------------------------

void ClientSession::serve() {
  WireServer& server = server_;
  // A key-only link is announced once its first record opens: before, it may
  // be anyone, and anyone's links must not fill the log.
  const bool announceLater = opener_ && !greeted_;
  if (!announceLater) server.event("client connected " + fdTag(fd_) + tag_);

  // One rule for "over the network" everywhere (panel, notice, log, AWDL):
  // a network peer address on a link that is not a cable. A loopback peer is
  // this machine (a local client or a USB forward), never Wi-Fi.
  const bool overNetwork = !cable_ && AwdlStatus::isNetworkPeer(fd_);
  auto conn = std::make_shared<ClientConn>(fd_, kMaxFrames, overNetwork, server.config_.nowNs);
  conn->cable = cable_;
  conn->fingerprint = fingerprint_;
  {
    // From here the ClientConn owns the socket.
    std::lock_guard lock(server.sessionsMutex_);
    conn_ = conn;
    heldFd_ = -1;
  }
  if (conn->overNetwork && AwdlStatus::isActive(std::string("awdl0"))) {
    server.event("AWDL (AirDrop/Handoff) is on — this Wi-Fi client may stutter " + fdTag(fd_));
  }

  // The writer holds the session (its sealer) and the server only weakly.
  std::weak_ptr<WireServer> weak = server.weak_from_this();
  NamedThread writer;
  try {
    writer = server.startThread("lumenrail-wire-write", [weak, self = shared_from_this(), conn] {
      if (auto alive = weak.lock()) {
        self->writeLoop(conn);
      } else {
        conn->drained.signal();
        conn->finished.signal();
      }
    });
  } catch (const std::exception& e) {
    // Not registered yet: no callback has fired, so none is owed.
    server.event("could not start the write thread (" + std::string(e.what()) + ") — connection closed " +
                 fdTag(fd_));
    conn->closeSocket();
    return;
  }

  if (greeted_) {
    // The paired greeting sent them already: again only what changed since.
    const SharedPacket hello = server.helloPacket(*conn);
    const bool helloQueued = *hello != greeted_->hello;
    if (helloQueued) conn->enqueueControl(hello);
    auto version = server.versionGate_.reportPacket();
    if (version && (helloQueued || version != greeted_->version)) {
      conn->enqueueControl(sharePacket(std::move(*version)));
    }
  } else {
    server.queueHelloAndVersion(*conn);
  }
  PlaintextReader reader(fd_, opener_.get(), [&server](const std::string& line, bool beforeFirstRecord) {
    // Before a record has opened, anyone can send junk.
    beforeFirstRecord ? server.preSessionEvent(line) : server.event(line);
  });
  // A key-only link is a client once its first record opens: before that
  // it may be anyone, and anyone must not count, reset zoom or cost keyframes.
  // It has its Hello (sealed, useless without the key) so a client that waits
  // for it before sending can start.
  bool admitted = stage() == Stage::proven;
  if (!admitted) {
    std::optional<Crypto::Sha256Digest> firstRecord;
    admitted = awaitFirstRecord(reader, firstRecord) && server.proven(*this, firstRecord);
    if (admitted) reach(Stage::proven);
  }
  // stop() has already said goodbye to every registered client; a session
  // that got this far too late ends without registering or calling back.
  if (!admitted || !server.enterTable(conn)) {
    conn->close();
    endWriter(*conn, writer);
    conn->closeSocket();
    return;
  }
  reach(Stage::serving);
  if (announceLater) {
    {
      std::lock_guard lock(server.sessionsMutex_);
      conn->replayed = replayed_;
    }
    clientEvent(*conn, "client connected " + fdTag(fd_) + tag_);
  }
  server.resetViewport();
  server.armVersionJudge(conn);
  server.keyframeNeeded();
  // A callback that throws ends this session only: the teardown below runs
  // as for a client that left.
  server.guarded("session", fd_, [&] {
    if (server.hooks_.onClientConnected) server.hooks_.onClientConnected();
    server.broadcastAdvisory();
    readLoop(conn, reader);
  });
  close(conn, writer);
}

void ClientSession::endWriter(ClientConn& conn, NamedThread& writer) {
  if (!conn.finished.waitFor(kWriterGraceNs)) {
    conn.shutdownIfOpen(SHUT_RDWR);  // the writer is stuck in a send
    conn.finished.wait();
  }
  writer.join();
}

void ClientSession::close(const std::shared_ptr<ClientConn>& conn, NamedThread& writer) {
  WireServer& server = server_;
  reach(Stage::closing);
  const bool empty = server.leaveTable(conn);
  server.announceDeparture(*conn);
  server.broadcastAdvisory();
  if (empty) server.resetDegradation();
  if (server.stopped_) {
    conn->closeSending(sharePacket(Wire::bye()));  // no-op when stop() queued it first
  } else {
    conn->close();
  }
  endWriter(*conn, writer);
  int64_t dropped;
  bool overflowed;
  {
    std::lock_guard lock(conn->mutex);
    dropped = conn->dropped;
    overflowed = conn->overflowed;
  }
  if (conn->lines.dropped() > 0) {
    server.event(std::to_string(conn->lines.dropped()) + " line(s) caused by client " + fdTag(fd_) + " not logged");
  }
  if (overflowed) {
    server.event("client " + fdTag(fd_) + " read nothing while " + std::to_string(ClientConn::kMaxControl) +
                 " control packets waited — session ended");
  }
  if (dropped >= 1) {
    server.event("client " + fdTag(fd_) + " dropped " + std::to_string(dropped) + " frame(s) under backpressure");
  }
  const std::string gone = "client disconnected " + fdTag(fd_);
  if (conn->replayed) {
    server.preSessionEvent(gone);
  } else {
    server.event(gone);
  }
  // The owner hears of the departure while the descriptor is still ours, so a
  // new client cannot arrive on the same number before it has been handled.
  conn->shutdownIfOpen(SHUT_RDWR);
  if (server.hooks_.onClientDisconnected) {
    server.guarded("onClientDisconnected", fd_, [&] { server.hooks_.onClientDisconnected(fd_); });
  }
  conn->closeSocket();
}

void ClientSession::clientEvent(ClientConn& conn, const std::string& line) {
  if (conn.replayed) {
    server_.preSessionEvent(line);
    return;
  }
  int64_t untold = 0;
  if (!conn.lines.take(server_.config_.nowNs(), untold)) return;
  if (untold > 0) server_.event(std::to_string(untold) + " line(s) caused by client " + fdTag(conn.fd) + " not logged");
  server_.event(line);
}

}  // namespace lumenrail

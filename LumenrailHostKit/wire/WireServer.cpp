#include "wire/WireServer.hpp"

#include "wire/WireServerSession.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/AwdlStatus.hpp"
#include "platform/Crypto.hpp"
#include "platform/Log.hpp"
#include "platform/Socket.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"

namespace lumenrail {

namespace {

std::string errorName(WireServer::ServerErrorKind kind, int err) {
  const char* name = kind == WireServer::ServerErrorKind::socketCreate ? "socketCreate"
                     : kind == WireServer::ServerErrorKind::bind      ? "bind"
                                                                      : "listen";
  return std::string(name) + "(" + std::to_string(err) + ")";
}

// A socket bound to `port` on every IPv4 address, as the listener uses it.
int boundSocket(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw WireServer::ServerError(WireServer::ServerErrorKind::socketCreate, errno);
  Socket::setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(fd);
    throw WireServer::ServerError(WireServer::ServerErrorKind::bind, err);
  }
  return fd;
}

// Keep-alive after 5 s of silence, probes 2 s apart, 3 of them, and at most
// 10 s of unacknowledged data before the kernel drops the connection.
void armDeadPeerDetection(int fd) {
  Socket::setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 5);
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 2);
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, 10'000);
}

// The kernel holds at most this much unsent video per client, so a slow link
// backs up into the client's own frame queue, where a loss is counted, a
// keyframe follows and the advisory hears of it, instead of seconds of video
// waiting in the socket while the client falls behind unseen. It still takes
// the tail of a large keyframe, so a link with room for the stream sends one
// within the four frame intervals the queue holds.
constexpr int kUnsentBytesBound = 128 * 1024;

void prepareClientSocket(int fd) {
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, kUnsentBytesBound);
  armDeadPeerDetection(fd);
}

bool isTransientAcceptError(int err) {
  switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EAGAIN:
    case EPERM:
      return true;
    default:
      return false;
  }
}

bool isDescriptorExhaustion(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

bool isRetry(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

constexpr int kGreetingChecks = 8;  // of 250 ms each
constexpr int64_t kGreetingCheckMs = 250;
constexpr uint64_t kWriterGraceNs = 300 * kNsPerMs;
// How long stop() waits for sessions after their sockets were forced shut
// (a callback of the owner may still be running).
constexpr uint64_t kStopForcedNs = 2000 * kNsPerMs;
// How often a wait on the server's clock looks at it again.
constexpr uint64_t kClockLookNs = 20 * kNsPerMs;

}  // namespace

WireServer::ServerError::ServerError(ServerErrorKind k, int e)
    : std::runtime_error(errorName(k, e)), kind(k), err(e) {}

std::shared_ptr<WireServer> WireServer::create(Config config) {
  return std::shared_ptr<WireServer>(new WireServer(std::move(config)));
}

WireServer::WireServer(Config config) : config_(std::move(config)), hello_(config_.hello) {
  if (!config_.pairing) return;
  PairingPrologue::Env env;
  env.nowNs = config_.nowNs;
  // The prologue runs on session threads, which hold the server.
  env.say = [this](const std::string& line) { event(line); };
  env.note = [this](const std::string& line) { preSessionEvent(line); };
  env.startThread = [this](std::string name, std::function<void()> body) {
    return startThread(std::move(name), std::move(body));
  };
  env.serving = [this] { return accepting_.load(); };
  prologue_ = std::make_unique<PairingPrologue>(*config_.pairing, std::move(env));
}

void WireServer::setHooks(Hooks hooks) {
  if (hooksFixed_) throw std::logic_error("WireServer: setHooks() after start() or adopt()");
  hooks_ = std::move(hooks);
}

WireServer::~WireServer() {
  // A session thread may drop the last reference; it must not wait for itself.
  accepting_ = false;
  stopped_ = true;
  advisory_.stopTicks();
  const int fd = listenFd_.exchange(-1);
  if (fd >= 0) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }
  stopEvent_.signal();
}

void WireServer::clientEvent(ClientConn& conn, const std::string& line) {
  if (conn.replayed) {
    preSessionEvent(line);
    return;
  }
  int64_t untold = 0;
  if (!conn.lines.take(config_.nowNs(), untold)) return;
  if (untold > 0) event(std::to_string(untold) + " line(s) caused by client " + fdTag(conn.fd) + " not logged");
  event(line);
}

void WireServer::event(const std::string& line) const {
  if (!hooks_.onEvent) return;
  try {
    hooks_.onEvent(line);
  } catch (...) {
    // A log sink that fails loses its line, nothing more.
  }
}

NamedThread WireServer::startThread(std::string name, std::function<void()> body) {
  int left = failThreadsForTesting_.load();
  while (left > 0 && !failThreadsForTesting_.compare_exchange_weak(left, left - 1)) {
  }
  if (left > 0) throw std::system_error(EAGAIN, std::generic_category(), "thread creation (test fault)");
  return NamedThread(std::move(name), std::move(body));
}

template <class F>
bool WireServer::guarded(const char* what, int fd, F&& call) {
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    event(std::string(what) + " failed (" + e.what() + ") — ending the session " + fdTag(fd));
  } catch (...) {
    event(std::string(what) + " failed — ending the session " + fdTag(fd));
  }
  return false;
}

// ---- Lifecycle -------------------------------------------------------------

void WireServer::start() {
  // stop() has said goodbye for good: its sessions refuse to register, so a
  // listener now would accept clients and serve none.
  if (stopped_) throw std::logic_error("WireServer: start() after stop()");
  hooksFixed_ = true;
  std::signal(SIGPIPE, SIG_IGN);
  const int fd = boundSocket(config_.port);
  // Room for a burst of strangers' handshakes: a full backlog drops the
  // owner's SYN too, and the kernel retries it only a second later.
  if (::listen(fd, kListenBacklog) != 0) {
    const int err = errno;
    ::close(fd);
    throw ServerError(ServerErrorKind::listen, err);
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  boundPort_ = ntohs(bound.sin_port);
  listenFd_ = fd;
  accepting_ = true;
  event("listening on 0.0.0.0:" + std::to_string(boundPort_.load()));

  std::weak_ptr<WireServer> weak = weak_from_this();
  try {
    acceptThread_ = startThread("lumenrail-wire-accept", [weak] { acceptLoop(weak); });
  } catch (...) {
    // Nothing would accept: no listener either.
    accepting_ = false;
    listenFd_ = -1;
    ::close(fd);
    throw;
  }
  advisory_.startTicks(timerQueue_, config_.degradeIntervalNs, [weak] {
    if (auto self = weak.lock()) self->degradeTick();
  });
}

bool WireServer::portInUse(uint16_t port) {
  try {
    ::close(boundSocket(port));
    return false;
  } catch (const ServerError& e) {
    return e.kind == ServerErrorKind::bind && e.err == EADDRINUSE;
  }
}

std::string WireServer::startErrorText(const std::exception& error, uint16_t port) {
  const auto* server = dynamic_cast<const ServerError*>(&error);
  if (server && server->kind == ServerErrorKind::bind && server->err == EADDRINUSE) {
    return portInUseText(port);
  }
  return error.what();
}

std::string WireServer::portInUseText(uint16_t port) {
  return "port " + std::to_string(port) + " is already in use (another Lumenrail host?)";
}

// Holds the server only between accepts, so an owner that lets go of it
// without stop() still frees it (the destructor closes the listener).
void WireServer::acceptLoop(const std::weak_ptr<WireServer>& weak) {
  for (;;) {
    int listenFd;
    {
      auto self = weak.lock();
      if (!self || !self->accepting_) return;
      listenFd = self->listenFd_.load();
    }
    if (listenFd < 0) return;
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    const int err = errno;
    auto self = weak.lock();
    if (!self) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      if (!self->accepting_) return;
      if (isTransientAcceptError(err)) continue;
      if (isDescriptorExhaustion(err)) {
        // Out of descriptors: give running sessions a moment to release some.
        self->stopEvent_.waitFor(100 * kNsPerMs);
        continue;
      }
      self->event("accept failed: errno " + std::to_string(err));
      return;
    }
    prepareClientSocket(fd);
    self->spawnHandler(fd, self->config_.psk, true, false, nullptr);
    if (!self->accepting_) return;
  }
}

void WireServer::adopt(int fd, std::function<void()> onClose) {
  hooksFixed_ = true;
  if (stopped_) {
    // A stopped server starts nothing: no callback may follow stop().
    ::close(fd);
    if (onClose) onClose();
    return;
  }
  prepareClientSocket(fd);
  // An adopted session is always plaintext and never pairs.
  spawnHandler(fd, std::nullopt, false, true, std::move(onClose));
}

void WireServer::spawnHandler(int fd, std::optional<Bytes> psk, bool offerPairing, bool cable,
                              std::function<void()> onClose) {
  auto session = std::make_shared<Session>();
  session->fd = fd;
  session->cable = cable;
  session->arrivedNs = config_.nowNs();
  // Network links that must prove themselves (pairing or a pre-shared key)
  // are counted apart until they do, so idle or junk connections stay few.
  if (!admit(fd, session, !cable && (psk || (offerPairing && prologue_)))) {
    {
      std::lock_guard lock(sessionsMutex_);
      session->fd = -1;
    }
    ::close(fd);
    endSession(onClose, *session);
    return;
  }
  std::weak_ptr<WireServer> weak = weak_from_this();
  auto body = [weak, fd, psk = std::move(psk), offerPairing, cable, onClose, session] {
    if (auto self = weak.lock()) {
      {
        std::lock_guard lock(self->sessionsMutex_);
        session->threadId = std::this_thread::get_id();
      }
      try {
        self->handleClient(fd, psk, offerPairing, cable, *session);
      } catch (const std::exception& e) {
        // handleClient guards every callback; this is a failure of its own
        // (out of memory), after which the socket's state is unknown.
        self->event("session " + fdTag(fd) + " failed (" + e.what() + ")");
      }
      // The thread is detached: its OpenSSL state goes before it counts as ended.
      Crypto::releaseThreadState();
      self->forgetSession(session);
    } else {
      ::close(fd);
    }
    endSession(onClose, *session);
  };
  try {
    NamedThread thread = startThread("lumenrail-wire-conn", std::move(body));
    thread.detach();  // tracked through `sessions_`; stop() waits on `done`
  } catch (const std::exception& e) {
    // Only this connection is lost; the accept loop goes on.
    event("could not start a session thread (" + std::string(e.what()) + ") — connection closed " + fdTag(fd));
    forgetSession(session);
    {
      std::lock_guard lock(sessionsMutex_);
      session->fd = -1;
    }
    ::close(fd);
    endSession(onClose, *session);
  }
}

void WireServer::endSession(const std::function<void()>& onClose, Session& session) {
  if (onClose) {
    try {
      onClose();
    } catch (...) {
      // The owner's close hook failed; the session is over either way.
    }
  }
  session.done.signal();
}

void WireServer::stop() {
  // The registered sessions are taken in the step that stops the server: a
  // read loop that sees the stop must not tear its session down ahead of the
  // Bye, and no session registers after it.
  bool wasStopped;
  std::map<int32_t, std::shared_ptr<ClientConn>> ended;
  {
    std::lock_guard lock(clientsMutex_);
    wasStopped = stopped_.exchange(true);
    ended.swap(clients_);
  }
  accepting_ = false;
  stopEvent_.signal();
  advisory_.stopTicks();
  const int listenFd = listenFd_.exchange(-1);
  if (listenFd >= 0) {
    ::shutdown(listenFd, SHUT_RDWR);  // wakes a blocked accept
    ::close(listenFd);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  // Sessions still choosing their link (sniff, pairing prologue with its
  // 120 s reads, the owner's answer, paired greeting) are ended now: their
  // reads wake on the shut socket and they close without registering.
  {
    std::lock_guard lock(sessionsMutex_);
    for (auto& s : sessions_) {
      if (s->fd >= 0 && s->threadId != std::this_thread::get_id()) ::shutdown(s->fd, SHUT_RDWR);
    }
  }

  // One deadline for every client, so they take their Bye side by side.
  const uint64_t deadline = config_.nowNs() + kByeWaitNs;
  if (!ended.empty()) {
    const size_t n = ended.size();
    event("BYE (0x09) → " + std::to_string(n) + " client(s) — deliberate stop");
    const SharedPacket bye = sharePacket(Wire::bye());
    for (auto& [fd, conn] : ended) conn->closeSending(bye);
    size_t flushed = 0;
    for (auto& [fd, conn] : ended) {
      if (waitUntil(conn->drained, deadline)) {
        std::lock_guard lock(conn->mutex);
        if (!conn->sendFailed) ++flushed;
      }
    }
    event("BYE flushed on " + std::to_string(flushed) + "/" + std::to_string(n) + " client(s)");
    for (auto& [fd, conn] : ended) conn->shutdownIfOpen(SHUT_WR);  // a writer still stuck in a send ends here
  }

  // Wait, bounded, for every session thread: none may call back after stop().
  // Clients close after their Bye; the sessions of those that stay are
  // ended at the deadline.
  std::vector<std::shared_ptr<Session>> running;
  {
    std::lock_guard lock(sessionsMutex_);
    for (auto& s : sessions_) {
      // A callback of a session may itself stop the server; it cannot wait for itself.
      if (s->threadId != std::this_thread::get_id()) running.push_back(s);
    }
  }
  for (auto& s : running) waitUntil(s->done, deadline);
  for (auto& s : running) {
    if (s->done.isSignaled()) continue;
    std::shared_ptr<ClientConn> conn;
    {
      std::lock_guard lock(sessionsMutex_);
      conn = s->conn.lock();
    }
    // Without a connection record the session either still owns its socket
    // (shut down above) or has closed it, and the number may be reused: leave it.
    if (conn) conn->shutdownIfOpen(SHUT_RDWR);
  }
  const uint64_t forcedEnd = uptimeNs() + kStopForcedNs;
  for (auto& s : running) {
    const uint64_t now = uptimeNs();
    if (!s->done.waitFor(forcedEnd > now ? forcedEnd - now : 0)) {
      Log::lineTo(2, "[wire] WARN: a session did not end within stop()");
    }
  }
  if (!wasStopped) timerQueue_.sync([] {});  // a judge or tick already running finishes first
}

bool WireServer::waitUntil(OneShotEvent& event, uint64_t deadlineNs) const {
  for (;;) {
    const uint64_t now = config_.nowNs();
    if (now >= deadlineNs) return event.isSignaled();
    if (event.waitFor(std::min(deadlineNs - now, kClockLookNs))) return true;
  }
}

// ---- Session driver --------------------------------------------------------

void WireServer::closeUnregistered(int fd, Session& session) {
  {
    std::lock_guard lock(sessionsMutex_);
    session.fd = -1;
  }
  ::close(fd);
}

void WireServer::handleClient(int fd, const std::optional<Bytes>& psk, bool offerPairing, bool cable,
                              Session& session) {
  std::unique_ptr<WifiRecordSealer> sealer;
  std::unique_ptr<WifiRecordOpener> opener;
  std::string tag;
  std::optional<std::string> fingerprint;
  std::optional<Greeting> greeted;  // what a paired greeting already sent

  // Security choice.
  bool pskLink = psk.has_value();
  if (offerPairing && prologue_) {
    using Sniff = PairingPrologue::Sniff;
    const Sniff sniff = PairingPrologue::sniff(fd, session.arrivedNs, config_.nowNs);
    if (!accepting_) {
      closeUnregistered(fd, session);  // stop() shut the socket: nothing was served
      return;
    }
    if (sniff == Sniff::prelude) {
      PairingPrologue::Link link;
      link.address = session.address;
      link.arrivedNs = session.arrivedNs;
      link.progressed = [&] { admission_.progress(session.ticket, config_.nowNs()); };
      link.waitsForOwner = [&](bool waits) { admission_.hold(session.ticket, waits); };
      auto paired = prologue_->run(fd, link);
      if (!paired) {
        preSessionEvent("pairing prologue failed — dropping client " + fdTag(fd));
        closeUnregistered(fd, session);
        return;
      }
      if (!proven(fd, session, std::nullopt)) {
        closeUnregistered(fd, session);
        return;
      }
      const auto keys =
          WifiKeySchedule::derive(paired->root, WifiKeySchedule::Role::host, WifiKeySchedule::Flavor::paired);
      sealer = std::make_unique<WifiRecordSealer>(keys.sendKey);
      opener = std::make_unique<WifiRecordOpener>(keys.recvKey);
      tag = " [paired]";
      fingerprint = std::move(paired->fingerprint);
      Greeting sent;
      if (!greetPaired(fd, *sealer, sent)) {
        preSessionEvent("pairing check closed " + fdTag(fd) + " — no session, nothing served");
        closeUnregistered(fd, session);
        return;
      }
      greeted = std::move(sent);
      pskLink = false;
    } else if (sniff == Sniff::closed) {
      // Refused whatever else is configured: a peer that is gone needs no link.
      preSessionEvent("probe connection closed without sending " + fdTag(fd) +
                      " — reachability check, nothing served");
      closeUnregistered(fd, session);
      return;
    } else if (!psk) {
      preSessionEvent("unpaired client refused " + fdTag(fd) +
                      (sniff == Sniff::otherBytes ? " — --pair requires the pairing handshake"
                                                  : " — connected but sent no pairing handshake; --pair requires it"));
      closeUnregistered(fd, session);
      return;
    } else if (sniff == Sniff::otherBytes) {
      // A link that has sent its first bytes came further than a silent one.
      admission_.progress(session.ticket, config_.nowNs());
    }
  }
  if (pskLink) {
    const auto keys = WifiKeySchedule::derive(*psk, WifiKeySchedule::Role::host, WifiKeySchedule::Flavor::qrPsk);
    sealer = std::make_unique<WifiRecordSealer>(keys.sendKey);
    opener = std::make_unique<WifiRecordOpener>(keys.recvKey);
    tag = " [encrypted]";
  }
  // A client never sends more than its largest packet, sealed: that is all
  // the room a link gets, before its first record and after.
  if (opener) opener->limitRecordLength(kMaxClientRecordLength);
  // A key-only link is announced once its first record opens: before, it may
  // be anyone, and anyone's links must not fill the log.
  const bool announceLater = opener && !greeted;
  if (!announceLater) event("client connected " + fdTag(fd) + tag);

  auto conn = std::make_shared<ClientConn>(fd, kMaxFramesPerClient, AwdlStatus::isNetworkPeer(fd), config_.nowNs);
  conn->cable = cable;
  conn->fingerprint = fingerprint;
  {
    // From here the ClientConn owns the socket.
    std::lock_guard lock(sessionsMutex_);
    session.conn = conn;
    session.fd = -1;
  }
  if (conn->overNetwork && AwdlStatus::isActive(std::string("awdl0"))) {
    event("AWDL (AirDrop/Handoff) is on — this Wi-Fi client may stutter " + fdTag(fd));
  }

  std::weak_ptr<WireServer> weak = weak_from_this();
  WifiRecordSealer* sealerRaw = sealer.get();
  NamedThread writer;
  try {
    writer = startThread("lumenrail-wire-write", [weak, conn, sealerRaw] {
      if (auto self = weak.lock()) {
        self->writeLoop(conn, sealerRaw);
      } else {
        conn->drained.signal();
        conn->finished.signal();
      }
    });
  } catch (const std::exception& e) {
    // Not registered yet: no callback has fired, so none is owed.
    event("could not start the write thread (" + std::string(e.what()) + ") — connection closed " + fdTag(fd));
    conn->closeSocket();
    return;
  }

  if (greeted) {
    // The paired greeting sent them already: again only what changed since.
    const SharedPacket hello = helloPacket(*conn);
    const bool helloQueued = *hello != greeted->hello;
    if (helloQueued) conn->enqueueControl(hello);
    auto version = versionGate_.reportPacket();
    if (version && (helloQueued || version != greeted->version)) conn->enqueueControl(sharePacket(std::move(*version)));
  } else {
    queueHelloAndVersion(*conn);
  }
  const auto reader = makeReader(fd, opener.get());
  // A key-only link is a client once its first record opens: before that
  // it may be anyone, and anyone must not count, reset zoom or cost keyframes.
  // It has its Hello (sealed, useless without the key) so a client that waits
  // for it before sending can start.
  std::optional<Crypto::Sha256Digest> firstRecord;
  const bool admitted = !opener || greeted ||
                        (awaitFirstRecord(*reader, fd, session.arrivedNs, firstRecord) && proven(fd, session, firstRecord));
  bool late;
  {
    // stop() sets stopped_ and takes the clients under this lock.
    std::lock_guard lock(clientsMutex_);
    late = stopped_ || !admitted;
    if (!late) clients_[fd] = conn;
  }
  if (late) {
    // stop() has already said goodbye to every registered client; a session
    // that got this far too late ends without registering or calling back.
    conn->close();
    if (!conn->finished.waitFor(kWriterGraceNs)) {
      conn->shutdownIfOpen(SHUT_RDWR);
      conn->finished.wait();
    }
    writer.join();
    conn->closeSocket();
    return;
  }
  if (announceLater) {
    {
      std::lock_guard lock(sessionsMutex_);
      conn->replayed = session.replayed;
    }
    clientEvent(*conn, "client connected " + fdTag(fd) + tag);
  }
  resetViewport();
  armVersionJudge(conn);
  keyframes_.raise();
  // A callback that throws ends this session only: the teardown below runs
  // as for a client that left.
  guarded("session", fd, [&] {
    if (hooks_.onClientConnected) hooks_.onClientConnected();
    broadcastAdvisory();
    readLoop(conn, *reader);
  });

  // Teardown.
  bool empty;
  {
    std::lock_guard lock(clientsMutex_);
    auto it = clients_.find(fd);
    if (it != clients_.end() && it->second == conn) clients_.erase(it);
    empty = clients_.empty();
  }
  announceDeparture(*conn);
  broadcastAdvisory();
  if (empty) resetDegradation();
  if (stopped_) {
    conn->closeSending(sharePacket(Wire::bye()));  // no-op when stop() queued it first
  } else {
    conn->close();
  }
  if (!conn->finished.waitFor(kWriterGraceNs)) {
    conn->shutdownIfOpen(SHUT_RDWR);  // the writer is stuck in a send
    conn->finished.wait();
  }
  writer.join();
  int64_t dropped;
  bool overflowed;
  {
    std::lock_guard lock(conn->mutex);
    dropped = conn->dropped;
    overflowed = conn->overflowed;
  }
  if (conn->lines.dropped() > 0) {
    event(std::to_string(conn->lines.dropped()) + " line(s) caused by client " + fdTag(fd) + " not logged");
  }
  if (overflowed) {
    event("client " + fdTag(fd) + " read nothing while " + std::to_string(ClientConn::kMaxControl) +
          " control packets waited — session ended");
  }
  if (dropped >= 1) {
    event("client " + fdTag(fd) + " dropped " + std::to_string(dropped) + " frame(s) under backpressure");
  }
  const std::string gone = "client disconnected " + fdTag(fd);
  if (conn->replayed) {
    preSessionEvent(gone);
  } else {
    event(gone);
  }
  // The owner hears of the departure while the descriptor is still ours, so a
  // new client cannot arrive on the same number before it has been handled.
  conn->shutdownIfOpen(SHUT_RDWR);
  keyframes_.forget(fd);
  if (hooks_.onClientDisconnected) guarded("onClientDisconnected", fd, [&] { hooks_.onClientDisconnected(fd); });
  conn->closeSocket();
}

void WireServer::announceDeparture(const ClientConn& conn) {
  const auto gone = ClientWishes::departure(conn);
  if (gone.audio && hooks_.onAudioWantedChanged) {
    guarded("onAudioWantedChanged", conn.fd, [&] { hooks_.onAudioWantedChanged(audioWanted()); });
  }
  if (gone.hevc && hooks_.onHevcWantedChanged) {
    guarded("onHevcWantedChanged", conn.fd, [&] { hooks_.onHevcWantedChanged(hevcWanted()); });
  }
  if (gone.encoder && hooks_.onEncoderConfigChanged) {
    guarded("onEncoderConfigChanged", conn.fd, [&] { hooks_.onEncoderConfigChanged(resolvedEncoderConfig()); });
  }
}

// A Hello equal to the newest one still waiting is not queued again; the
// report always is, and takes the waiting one's place, so it follows the
// last Hello whatever came between.
void WireServer::queueHelloAndVersion(ClientConn& conn) {
  conn.enqueueControlOnce(helloPacket(conn));
  if (auto version = versionGate_.reportPacket()) conn.enqueueControl(sharePacket(std::move(*version)));
}

std::vector<std::shared_ptr<ClientConn>> WireServer::clientList() const {
  std::lock_guard lock(clientsMutex_);
  std::vector<std::shared_ptr<ClientConn>> list;
  list.reserve(clients_.size());
  for (auto& [fd, conn] : clients_) list.push_back(conn);
  return list;
}

ClientWishes WireServer::wishes() const { return ClientWishes(clientList()); }

bool WireServer::greetPaired(int fd, WifiRecordSealer& sealer, Greeting& sent) {
  {
    std::lock_guard lock(helloMutex_);
    sent.hello = Wire::hello(hello_);
  }
  sent.version = versionGate_.reportPacket();
  if (!sendPacket(fd, sent.hello, &sealer)) return false;
  if (sent.version && !sendPacket(fd, *sent.version, &sealer)) return false;

  // A client that only wanted to pair leaves now; one that stays sends soon
  // or is served after 2 s anyway.
  Socket::setReceiveTimeoutMs(fd, kGreetingCheckMs);
  bool stays = true;
  for (int tries = 0; tries < kGreetingChecks && accepting_; ++tries) {
    uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK);
    if (n > 0) break;
    if (n < 0 && isRetry(errno)) continue;
    stays = false;  // closed, or another error
    break;
  }
  Socket::setReceiveTimeoutMs(fd, 0);
  return stays && accepting_;
}

}  // namespace lumenrail

#include "wire/WireServer.hpp"

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

#include "platform/Crypto.hpp"
#include "platform/Log.hpp"
#include "platform/Socket.hpp"

namespace lumenrail {

namespace {

std::string errorName(WireServer::ServerErrorKind kind, int err) {
  const char* name = kind == WireServer::ServerErrorKind::socketCreate ? "socketCreate"
                     : kind == WireServer::ServerErrorKind::bind      ? "bind"
                                                                      : "listen";
  return std::string(name) + "(" + std::to_string(err) + ")";
}

// A socket bound to `port` on every IPv4 address (or loopback alone), as the listener uses it.
int boundSocket(uint16_t port, bool loopbackOnly = false) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw WireServer::ServerError(WireServer::ServerErrorKind::socketCreate, errno);
  Socket::setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
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

void prepareClientSocket(int fd) {
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  Socket::setIntOption(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, WireServer::kFirstUnsentBytes);
  int segment = 0;
  socklen_t len = sizeof segment;
  // TCP only: a cable's socket pair keeps its own.
  if (::getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, &len) == 0) {
    const int kernel = std::max(WireServer::kFirstKernelBytes, WireServer::kSegmentsInFlight * segment);
    Socket::setIntOption(fd, SOL_SOCKET, SO_SNDBUF, kernel / 2);  // the kernel doubles it
  }
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
  env.unshown = [this] { tellUntoldLater(); };
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

bool WireServer::guarded(const char* what, int fd, const std::function<void()>& call) {
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
  const int fd = boundSocket(config_.port, config_.loopbackOnly);
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
  event(std::string("listening on ") + (config_.loopbackOnly ? "127.0.0.1:" : "0.0.0.0:") +
        std::to_string(boundPort_.load()));

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

std::optional<std::string> WireServer::listenProblem(uint16_t port) {
  try {
    ::close(boundSocket(port));
    return std::nullopt;
  } catch (const ServerError& e) {
    return startErrorText(e, port);
  }
}

std::string WireServer::startErrorText(const std::exception& error, uint16_t port) {
  const auto* server = dynamic_cast<const ServerError*>(&error);
  if (!server || server->kind != ServerErrorKind::bind) return error.what();
  if (server->err == EADDRINUSE) return portInUseText(port);
  // Linux keeps the ports below net.ipv4.ip_unprivileged_port_start (1024
  // unless changed) for root.
  if (server->err == EACCES) {
    return "port " + std::to_string(port) + " is reserved for root: choose one from 1024 up (the default is 27184)";
  }
  return "cannot listen on port " + std::to_string(port) + ": " + std::strerror(server->err);
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
  // Network links that must prove themselves (pairing or a pre-shared key)
  // are counted apart until they do, so idle or junk connections stay few.
  const bool mustProve = !cable && (psk || (offerPairing && prologue_));
  auto session = std::make_shared<ClientSession>(*this, fd, std::move(psk), offerPairing, cable, std::move(onClose));
  if (!admit(session, mustProve)) {
    session->closeUnregistered();
    session->end();
    return;
  }
  std::weak_ptr<WireServer> weak = weak_from_this();
  auto body = [weak, session] {
    if (auto self = weak.lock()) {
      {
        std::lock_guard lock(self->sessionsMutex_);
        session->threadId_ = std::this_thread::get_id();
      }
      try {
        session->run();
      } catch (const std::exception& e) {
        // The session guards every callback; this is a failure of its own
        // (out of memory), after which the socket's state is unknown.
        self->event("session " + fdTag(session->fd()) + " failed (" + e.what() + ")");
      }
      // The thread is detached: its OpenSSL state goes before it counts as ended.
      Crypto::releaseThreadState();
      self->forgetSession(session);
    } else {
      ::close(session->fd());
    }
    session->end();
  };
  try {
    NamedThread thread = startThread("lumenrail-wire-conn", std::move(body));
    thread.detach();  // tracked through `sessions_`; stop() waits on `done`
  } catch (const std::exception& e) {
    // Only this connection is lost; the accept loop goes on.
    event("could not start a session thread (" + std::string(e.what()) + ") — connection closed " + fdTag(fd));
    forgetSession(session);
    session->closeUnregistered();
    session->end();
  }
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
      if (s->heldFd_ >= 0 && s->threadId_ != std::this_thread::get_id()) ::shutdown(s->heldFd_, SHUT_RDWR);
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
  std::vector<std::shared_ptr<ClientSession>> running;
  {
    std::lock_guard lock(sessionsMutex_);
    for (auto& s : sessions_) {
      // A callback of a session may itself stop the server; it cannot wait for itself.
      if (s->threadId_ != std::this_thread::get_id()) running.push_back(s);
    }
  }
  for (auto& s : running) waitUntil(s->done(), deadline);
  for (auto& s : running) {
    if (s->done().isSignaled()) continue;
    std::shared_ptr<ClientConn> conn;
    {
      std::lock_guard lock(sessionsMutex_);
      conn = s->conn_.lock();
    }
    // Without a connection record the session either still owns its socket
    // (shut down above) or has closed it, and the number may be reused: leave it.
    if (conn) conn->shutdownIfOpen(SHUT_RDWR);
  }
  const uint64_t forcedEnd = uptimeNs() + kStopForcedNs;
  for (auto& s : running) {
    const uint64_t now = uptimeNs();
    if (!s->done().waitFor(forcedEnd > now ? forcedEnd - now : 0)) {
      Log::lineTo(2, "[wire] WARN: a session did not end within stop()");
    }
  }
  if (!wasStopped) {
    timerQueue_.sync([] {});  // a judge or tick already running finishes first
    tellUntold();  // what the sessions left out is told before the server falls silent
  }
}

bool WireServer::waitUntil(OneShotEvent& event, uint64_t deadlineNs) const {
  for (;;) {
    const uint64_t now = config_.nowNs();
    if (now >= deadlineNs) return event.isSignaled();
    if (event.waitFor(std::min(deadlineNs - now, kClockLookNs))) return true;
  }
}

// ---- The client table -------------------------------------------------------

bool WireServer::enterTable(const std::shared_ptr<ClientConn>& conn) {
  // stop() sets stopped_ and takes the clients under this lock.
  std::lock_guard lock(clientsMutex_);
  if (stopped_) return false;
  clients_[conn->fd] = conn;
  return true;
}

bool WireServer::leaveTable(const std::shared_ptr<ClientConn>& conn) {
  std::lock_guard lock(clientsMutex_);
  auto it = clients_.find(conn->fd);
  if (it != clients_.end() && it->second == conn) clients_.erase(it);
  return clients_.empty();
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

}  // namespace lumenrail

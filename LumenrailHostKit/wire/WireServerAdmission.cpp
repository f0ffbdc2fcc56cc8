// Which connections the server takes on, and what a stranger's connection may
// cost: places among the unproven, sessions by kind, and the log.
#include <sys/socket.h>

#include <algorithm>
#include <map>

#include "platform/Socket.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {
// How long a newcomer waits for the links still being read, looking again at least this often.
constexpr uint64_t kUnreadWaitNs = 250 * kNsPerMs;
constexpr uint64_t kUnreadLookNs = 10 * kNsPerMs;
}  // namespace

void WireServer::preSessionEvent(const std::string& line) {
  int64_t untold = 0;
  bool logged;
  {
    std::lock_guard lock(preSessionMutex_);
    logged = preSessionLines_.take(config_.nowNs(), untold);
  }
  if (!logged) {
    tellUntoldLater();
    return;
  }
  if (untold > 0) event(std::to_string(untold) + " line(s) about connections not yet served not logged");
  event(line);
}

// What was left out is told within a window even when no later line comes
// to carry the count.
void WireServer::tellUntoldLater() {
  {
    std::lock_guard lock(preSessionMutex_);
    if (untoldDue_) return;
    untoldDue_ = true;
  }
  std::weak_ptr<WireServer> weak = weak_from_this();
  timerQueue_.asyncAfter(config_.preSessionWindowNs, [weak] {
    if (auto self = weak.lock(); self && !self->stopped_) self->tellUntold();
  });
}

void WireServer::tellUntold() {
  int64_t lines;
  {
    std::lock_guard lock(preSessionMutex_);
    untoldDue_ = false;
    lines = preSessionLines_.takeDropped();
  }
  const int64_t questions = prologue_ ? prologue_->takeUnshown() : 0;
  if (lines > 0) event(std::to_string(lines) + " line(s) about connections not yet served not logged");
  if (questions > 0) {
    event("pairing: " + std::to_string(questions) +
          " question(s) not put to the owner (the device left at once, gave way or was refused)");
  }
}

bool WireServer::admit(const std::shared_ptr<ClientSession>& session, bool mustProve) {
  const int fd = session->fd();
  if (mustProve) {
    session->address_ = Socket::peerIpv4(fd).value_or(0);
    std::weak_ptr<ClientSession> weakSession = session;
    // Runs on this thread, inside this call: the server is there.
    auto evict = [this, weakSession]() -> int {
      const auto s = weakSession.lock();
      if (!s) return -1;
      std::shared_ptr<ClientConn> conn;
      {
        std::lock_guard lock(sessionsMutex_);
        if (s->heldFd_ >= 0) {
          ::shutdown(s->heldFd_, SHUT_RDWR);  // its thread sees the end and closes it
          return s->heldFd_;
        }
        conn = s->conn_.lock();  // a key-only link waiting for its first record
      }
      if (!conn || !conn->shutdownIfOpen(SHUT_RDWR)) return -1;
      return conn->fd;
    };
    auto admitted = admission_.admit(session->address_, session->arrivedNs(), evict);
    // Links not yet read may not give way, and their threads read them in a
    // moment: the newcomer waits for that (the accept thread's own wait, in
    // real time) rather than being refused, and nothing else is accepted
    // meanwhile, so a crowd cannot churn the house faster than its links are read.
    const uint64_t waitEnd = uptimeNs() + kUnreadWaitNs;
    for (uint64_t now = uptimeNs(); !admitted.ticket && admitted.unread && now < waitEnd; now = uptimeNs()) {
      admission_.awaitLook(std::min(waitEnd - now, kUnreadLookNs));
      admitted = admission_.admit(session->address_, config_.nowNs(), evict);
    }
    if (!admitted.ticket) {
      using Refusal = LinkAdmission::Refusal;
      switch (admitted.refusal) {
        case Refusal::addressTooFast:
          preSessionEvent("connections from " + Socket::ipv4Text(session->address_) +
                          " come faster than they prove themselves — refused " + fdTag(fd));
          break;
        case Refusal::houseTooFast:
          preSessionEvent("connections not yet authenticated come faster than they prove themselves — refused " +
                          fdTag(fd));
          break;
        default:
          preSessionEvent(std::to_string(admission_.unproven()) +
                          " connection(s) not yet authenticated hold every place — refused " + fdTag(fd));
          break;
      }
      return false;
    }
    if (admitted.victim) {
      const int gone = admitted.victim();
      if (gone >= 0) {
        preSessionEvent("connection " + fdTag(gone) + " made no progress for " +
                        std::to_string(admitted.victimIdleNs / kNsPerMs) + " ms — closed for a newcomer " +
                        fdTag(fd));
      }
    }
    session->ticket_ = admitted.ticket;
    session->unproven_ = true;
    std::lock_guard lock(sessionsMutex_);
    sessions_.insert(session);
    return true;
  }
  int64_t running;
  {
    std::lock_guard lock(sessionsMutex_);
    int64_t& count = session->cable() ? cableSessions_ : networkSessions_;
    running = count;
    if (count < (session->cable() ? config_.maxCableSessions : config_.maxSessions)) {
      ++count;
      session->counted_ = true;
      sessions_.insert(session);
      return true;
    }
  }
  // Every session holds two threads and a socket: their number is bounded
  // whatever the link, adopted ones too.
  preSessionEvent(std::to_string(running) + " session(s) running — refused " + fdTag(fd));
  return false;
}

void WireServer::leaveUnproven(ClientSession& session) {
  if (session.unproven_.exchange(false)) admission_.release(session.ticket_);
}

bool WireServer::proven(ClientSession& session, const std::optional<Crypto::Sha256Digest>& firstRecord) {
  const int fd = session.fd();
  if (session.unproven_) admission_.proven(session.ticket_, config_.nowNs());
  leaveUnproven(session);
  std::shared_ptr<ClientConn> victimConn;
  int victimFd = -1;
  int64_t running;
  {
    std::lock_guard lock(sessionsMutex_);
    if (session.counted_) return true;
    running = networkSessions_;
    if (networkSessions_ >= config_.maxSessions) {
      // A recorded first record replayed opens like the genuine one, so a
      // full house gives way where many sessions began alike: the oldest of
      // the largest such group ends for the newcomer.
      std::map<Crypto::Sha256Digest, int64_t> alike;
      if (firstRecord) alike[*firstRecord] = 1;
      for (const auto& s : sessions_) {
        if (s->counted_ && s->firstRecord_) ++alike[*s->firstRecord_];
      }
      const auto largest =
          std::max_element(alike.begin(), alike.end(), [](auto& a, auto& b) { return a.second < b.second; });
      std::shared_ptr<ClientSession> victim;
      if (largest != alike.end() && largest->second >= 2) {
        for (const auto& s : sessions_) {
          if (s->counted_ && s->firstRecord_ == largest->first && (!victim || s->arrivedNs() < victim->arrivedNs())) {
            victim = s;
          }
        }
      }
      if (victim) {
        victim->counted_ = false;
        --networkSessions_;
        victimConn = victim->conn_.lock();
        if (!victimConn && victim->heldFd_ >= 0) {
          victimFd = victim->heldFd_;
          ::shutdown(victimFd, SHUT_RDWR);
        }
      }
    }
    if (networkSessions_ < config_.maxSessions) {
      ++networkSessions_;
      session.counted_ = true;
      session.firstRecord_ = firstRecord;
      session.replayed_ = firstRecord && std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) {
                            return s.get() != &session && s->counted_ && s->firstRecord_ == firstRecord;
                          });
    }
  }
  if (victimConn) {
    victimFd = victimConn->fd;
    victimConn->shutdownIfOpen(SHUT_RDWR);
  }
  if (victimFd >= 0) {
    preSessionEvent("session " + fdTag(victimFd) + " began with the same sealed record as others — ended for a newcomer");
  }
  if (session.counted_) return true;
  preSessionEvent(std::to_string(running) + " session(s) running — refused " + fdTag(fd));
  return false;
}

void WireServer::forgetSession(const std::shared_ptr<ClientSession>& session) {
  leaveUnproven(*session);
  std::lock_guard lock(sessionsMutex_);
  if (session->counted_) {
    --(session->cable() ? cableSessions_ : networkSessions_);
    session->counted_ = false;
  }
  sessions_.erase(session);
}

}  // namespace lumenrail

// Which connections the server takes on, and what a stranger's connection may
// cost: places among the unproven, sessions by kind, and the log.
#include <sys/socket.h>

#include <map>

#include "platform/Socket.hpp"
#include "wire/WireServer.hpp"
#include "wire/WireServerSession.hpp"

namespace lumenrail {

void WireServer::preSessionEvent(const std::string& line) {
  int64_t untold = 0;
  {
    std::lock_guard lock(preSessionMutex_);
    if (!preSessionLines_.take(config_.nowNs(), untold)) return;
  }
  if (untold > 0) event(std::to_string(untold) + " line(s) about connections not yet served not logged");
  event(line);
}

bool WireServer::admit(int fd, const std::shared_ptr<Session>& session, bool mustProve) {
  if (mustProve) {
    session->address = Socket::peerIpv4(fd).value_or(0);
    std::weak_ptr<Session> weakSession = session;
    // Runs on this thread, inside this call: the server is there.
    auto evict = [this, weakSession]() -> int {
      const auto s = weakSession.lock();
      if (!s) return -1;
      std::shared_ptr<ClientConn> conn;
      {
        std::lock_guard lock(sessionsMutex_);
        if (s->fd >= 0) {
          ::shutdown(s->fd, SHUT_RDWR);  // its thread sees the end and closes it
          return s->fd;
        }
        conn = s->conn.lock();  // a key-only link waiting for its first record
      }
      if (!conn || !conn->shutdownIfOpen(SHUT_RDWR)) return -1;
      return conn->fd;
    };
    auto admitted = admission_.admit(session->address, session->arrivedNs, std::move(evict));
    if (!admitted.ticket) {
      preSessionEvent(admitted.tooFast ? "connections from " + Socket::ipv4Text(session->address) +
                                             " come faster than they prove themselves — refused " + fdTag(fd)
                                       : std::to_string(admission_.unproven()) +
                                             " connection(s) not yet authenticated wait for the owner — refused " +
                                             fdTag(fd));
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
    session->ticket = admitted.ticket;
    session->unproven = true;
    std::lock_guard lock(sessionsMutex_);
    sessions_.insert(session);
    return true;
  }
  int64_t running;
  {
    std::lock_guard lock(sessionsMutex_);
    int64_t& count = session->cable ? cableSessions_ : networkSessions_;
    running = count;
    if (count < (session->cable ? config_.maxCableSessions : config_.maxSessions)) {
      ++count;
      session->counted = true;
      sessions_.insert(session);
      return true;
    }
  }
  // Every session holds two threads and a socket: their number is bounded
  // whatever the link, adopted ones too.
  preSessionEvent(std::to_string(running) + " session(s) running — refused " + fdTag(fd));
  return false;
}

void WireServer::leaveUnproven(Session& session) {
  if (session.unproven.exchange(false)) admission_.release(session.ticket);
}

bool WireServer::proven(int fd, Session& session, const std::optional<Crypto::Sha256Digest>& firstRecord) {
  leaveUnproven(session);
  std::shared_ptr<ClientConn> victimConn;
  int victimFd = -1;
  int64_t running;
  {
    std::lock_guard lock(sessionsMutex_);
    if (session.counted) return true;
    running = networkSessions_;
    if (networkSessions_ >= config_.maxSessions) {
      // A recorded first record replayed opens like the genuine one, so a
      // full house gives way where many sessions began alike: the oldest of
      // the largest such group ends for the newcomer.
      std::map<Crypto::Sha256Digest, int64_t> alike;
      if (firstRecord) alike[*firstRecord] = 1;
      for (const auto& s : sessions_) {
        if (s->counted && s->firstRecord) ++alike[*s->firstRecord];
      }
      const auto largest =
          std::max_element(alike.begin(), alike.end(), [](auto& a, auto& b) { return a.second < b.second; });
      std::shared_ptr<Session> victim;
      if (largest != alike.end() && largest->second >= 2) {
        for (const auto& s : sessions_) {
          if (s->counted && s->firstRecord == largest->first && (!victim || s->arrivedNs < victim->arrivedNs)) {
            victim = s;
          }
        }
      }
      if (victim) {
        victim->counted = false;
        --networkSessions_;
        victimConn = victim->conn.lock();
        if (!victimConn && victim->fd >= 0) {
          victimFd = victim->fd;
          ::shutdown(victimFd, SHUT_RDWR);
        }
      }
    }
    if (networkSessions_ < config_.maxSessions) {
      ++networkSessions_;
      session.counted = true;
      session.firstRecord = firstRecord;
      session.replayed = firstRecord && std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) {
                           return s.get() != &session && s->counted && s->firstRecord == firstRecord;
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
  if (session.counted) return true;
  preSessionEvent(std::to_string(running) + " session(s) running — refused " + fdTag(fd));
  return false;
}

void WireServer::forgetSession(const std::shared_ptr<Session>& session) {
  leaveUnproven(*session);
  std::lock_guard lock(sessionsMutex_);
  if (session->counted) {
    --(session->cable ? cableSessions_ : networkSessions_);
    session->counted = false;
  }
  sessions_.erase(session);
}

}  // namespace lumenrail

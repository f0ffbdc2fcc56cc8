#pragma once

// A session thread as the server's own files see it (not for owners).

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "platform/Crypto.hpp"
#include "platform/OneShotEvent.hpp"
#include "wire/LinkAdmission.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

// `threadId`, `fd`, `conn`, `counted` and `firstRecord` are guarded by
// sessionsMutex_. `fd` is the socket while the session thread owns it
// without a ClientConn (security choice, pairing prologue, paired greeting):
// the thread clears it under the lock before it closes the socket or hands it
// to the ClientConn, so stop() or an eviction never shuts down a closed or
// reused number.
struct WireServer::Session {
  OneShotEvent done;
  std::thread::id threadId;
  int fd = -1;
  std::weak_ptr<ClientConn> conn;
  bool cable = false;
  uint32_t address = 0;
  uint64_t arrivedNs = 0;  // deadlines before proof count from here
  // Counted by admission_ until the link proves itself, ends or gives way.
  std::atomic<bool> unproven{false};
  LinkAdmission::Ticket ticket;
  // Holds one of the places of networkSessions_ or cableSessions_.
  bool counted = false;
  // A key-only link's first record opened alone: replays of it look alike.
  std::optional<Crypto::Sha256Digest> firstRecord;
  bool replayed = false;
};

}  // namespace lumenrail

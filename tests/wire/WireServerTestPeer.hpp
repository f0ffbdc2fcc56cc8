#pragma once

// Reaches into the server for the tests of this folder: counters of its
// bounds, a client's record, its timer queue and a thread-creation fault.
#include <functional>
#include <memory>

#include "wire/WireServer.hpp"

namespace lumenrail {

class WireServerTestPeer {
 public:
  static int64_t approvalSeats(WireServer& server) { return server.approvalSeats(); }
  static int64_t prologues(WireServer& server) {
    std::lock_guard lock(server.pairingMutex_);
    return server.prologues_;
  }
  static std::shared_ptr<ClientConn> anyClient(WireServer& server) {
    std::lock_guard lock(server.clientsMutex_);
    return server.clients_.empty() ? nullptr : server.clients_.begin()->second;
  }
  static void onTimerQueue(WireServer& server, std::function<void()> task) {
    server.timerQueue_.async(std::move(task));
  }
  static void failThreads(WireServer& server, int count) { server.failThreadsForTesting_ = count; }
};

}  // namespace lumenrail

#pragma once

// For the server tests of this folder: reaches into the server (counters of
// its bounds, a client's record, its timer queue, a thread-creation fault)
// and watches it the way their fixtures do.
#include <functional>
#include <memory>
#include <string>

#include "support/EventLog.hpp"
#include "support/Waiting.hpp"
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

// How the server fixtures of this folder watch a server before starting it:
// its lines into `log`, arrivals and departures counted, a fixed version to
// report, and no quality step unless a test drives one.
inline void watchServer(WireServer& server, test::EventLog& log, test::EventCounter& connected,
                        test::EventCounter& disconnected) {
  server.onEvent = [&log](const std::string& l) { log.add(l); };
  server.hostAppVersion = "1.0.9";
  server.degradeIntervalNs = 3600 * kNsPerSecond;
  server.onClientConnected = [&connected] { connected.add(); };
  server.onClientDisconnected = [&disconnected](int32_t) { disconnected.add(); };
}

}  // namespace lumenrail

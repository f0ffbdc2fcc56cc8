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
  static int64_t approvalSeats(WireServer& server) { return server.prologue_->desk().seats(); }
  static int64_t prologues(WireServer& server) { return server.prologue_->running(); }
  static int64_t unproven(WireServer& server) { return server.admission_.unproven(); }
  // Unproven links that may give way: their threads have looked at them.
  static bool allRead(WireServer& server, int64_t links) {
    return server.admission_.unproven() == links && server.admission_.unread() == 0;
  }
  static std::shared_ptr<ClientConn> anyClient(WireServer& server) {
    std::lock_guard lock(server.clientsMutex_);
    return server.clients_.empty() ? nullptr : server.clients_.begin()->second;
  }
  static std::shared_ptr<ClientConn> client(WireServer& server, int fd) {
    std::lock_guard lock(server.clientsMutex_);
    auto it = server.clients_.find(fd);
    return it == server.clients_.end() ? nullptr : it->second;
  }
  static void onTimerQueue(WireServer& server, std::function<void()> task) {
    server.timerQueue_.async(std::move(task));
  }
  static void failThreads(WireServer& server, int count) { server.failThreadsForTesting_ = count; }
  static void judgeVersion(WireServer& server, const std::shared_ptr<ClientConn>& conn) { server.judgeVersion(conn); }
  static void evictionVerdict(WireServer& server, bool degraded) { server.setDegraded(degraded); }
};

// How the server fixtures of this folder watch a server before starting it:
// its lines into `log`, arrivals and departures counted, a fixed version to
// report, and no quality step unless a test drives one.
inline void watchServer(WireServer::Config& config, WireServer::Hooks& hooks, test::EventLog& log,
                        test::EventCounter& connected, test::EventCounter& disconnected) {
  config.hostAppVersion = "1.0.9";
  // Clocks stand still in many of these tests; the budget's own test sets it.
  config.preSessionLinesPerWindow = INT64_MAX;
  config.degradeIntervalNs = 3600 * kNsPerSecond;
  hooks.onEvent = [&log](const std::string& l) { log.add(l); };
  hooks.onClientConnected = [&connected] { connected.add(); };
  hooks.onClientDisconnected = [&disconnected](int32_t) { disconnected.add(); };
}

}  // namespace lumenrail

#pragma once

// Joins wired Android devices to the wire server. A watcher thread polls the
// accessory driver, switches phones into accessory mode and gives every opened
// accessory a cable thread; a cable thread hands one end of a socket pair to
// WireServer::adopt and pumps the other end to and from the cable. A cable
// whose client is not taking it, or whose phone never spoke, stays open for
// the client's next connect burst; any other ending releases it. A cable
// whose session ends at once is released only after a wait that grows while
// that keeps happening (RedialBackoff, shared by the bridge's cables).

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "links/RedialBackoff.hpp"
#include "links/aoa/aoa.h"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"

namespace lumenrail {

class WireServer;

class AoaServeBridge final : public std::enable_shared_from_this<AoaServeBridge> {
 public:
  // `serial`: only the accessory with this USB serial-number string is used.
  static std::shared_ptr<AoaServeBridge> create(std::shared_ptr<WireServer> server,
                                                std::optional<std::string> serial = std::nullopt);
  ~AoaServeBridge();
  AoaServeBridge(const AoaServeBridge&) = delete;
  AoaServeBridge& operator=(const AoaServeBridge&) = delete;

  // Set before start(). onEvent receives the bridge's lines and every driver
  // message, from several threads.
  Log::Sink onEvent;
  NowNs nowNs = uptimeNs;

  void start();
  // Tells every held cable to stop and waits (bounded) for the watcher, which
  // waits for its cable threads; a running pump ends within 500 ms.
  void stop();

  static constexpr uint64_t kMinCableLifeNs = kNsPerSecond;
  static constexpr uint64_t kNoDevicePollNs = kNsPerSecond;
  static constexpr uint64_t kSwitchingPollNs = 500 * kNsPerMs;
  static constexpr uint64_t kNeverReadPauseNs = 1500 * kNsPerMs;
  static constexpr uint64_t kStopJoinNs = 5 * kNsPerSecond;
  // How long stop() waits for the watcher before leaving it to finish; a
  // start() after such a stop begins watching only once it has ended.
  uint64_t stopJoinNs = kStopJoinNs;

 private:
  AoaServeBridge(std::shared_ptr<WireServer> server, std::optional<std::string> serial);

  enum class Reported { nothing, noDevice, switching, unusable };

  // Each start() is a generation; the threads of an older one see the
  // bridge as stopped even after a newer start().
  void loop(uint64_t generation);
  void startCable(aoa_session* handle, uint64_t generation);
  void runCable(aoa_session* handle, uint64_t generation);
  int32_t serveSession(aoa_session* handle, uint64_t generation);
  template <typename F>
  auto withOptions(F&& body);
  // Waits until `deadlineNs` on nowNs or until the bridge stops; true when
  // the bridge is still running.
  bool pauseUntil(uint64_t generation, uint64_t deadlineNs);
  bool isRunning(uint64_t generation);
  bool runningLocked(uint64_t generation) const { return running_ && generation_ == generation; }
  void report(const std::string& line) const;

  std::shared_ptr<WireServer> server_;
  std::optional<std::string> serial_;

  std::mutex mutex_;
  std::condition_variable cv_;  // running_ cleared, a cable thread ended
  bool running_ = false;
  std::set<aoa_session*> live_;
  int64_t cablesActive_ = 0;
  std::vector<NamedThread> cableThreads_;  // touched by the watcher only
  RedialBackoff backoff_{kMinCableLifeNs};  // its first wait is the least life of a cable

  uint64_t generation_ = 0;
  std::shared_ptr<OneShotEvent> watcherDone_;  // signalled when the latest watcher has ended

  NamedThread watcher_;
};

}  // namespace lumenrail

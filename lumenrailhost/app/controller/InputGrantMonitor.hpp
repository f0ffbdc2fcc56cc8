#pragma once

// Watches the grant to post input while serving: polled on a timer, it warns
// on the edge to blocked with a client connected, shows one alert per quiet
// period, and ends that alert (and no other) when the grant returns or the
// last client leaves. Main thread.

#include <cstdint>
#include <functional>
#include <memory>

#include "app/controller/ControllerPorts.hpp"
#include "input/InputGrantWatch.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "ports/HostPermissions.hpp"

namespace lumenrail {

class InputGrantMonitor final : public std::enable_shared_from_this<InputGrantMonitor> {
 public:
  static constexpr uint64_t kPollNs = 2 * kNsPerSecond;
  static constexpr uint64_t kQuietNs = 600 * kNsPerSecond;

  struct Ports {
    // Its clock times the quiet period; its timers the poll.
    std::shared_ptr<Executor> main;
    std::shared_ptr<AlertRunner> alerts;
    std::shared_ptr<HostPermissions::Probe> probe;
    Log::Sink log;
  };
  struct Hooks {
    // Whether a client is connected to the running session.
    std::function<bool()> clientConnected;
    // The blocked state changed: the panel takes a fresh snapshot.
    std::function<void()> changed;
    // The alert's first button: how to allow input.
    std::function<void()> openAccessibility;
  };

  InputGrantMonitor(Ports ports, Hooks hooks);
  InputGrantMonitor(const InputGrantMonitor&) = delete;
  InputGrantMonitor& operator=(const InputGrantMonitor&) = delete;

  // Serving began: poll until stop().
  void start();
  // Serving ended: no more polls, and one last poll clears a blocked state.
  void stop();
  // The host is leaving: no more polls.
  void cancel() { timer_.cancel(); }
  void poll();
  // The alert, unless one is up or the quiet period still runs; returns when
  // it has been answered or ended.
  void showBlocked();

  bool isBlocked() const { return watch_.isBlocked(); }
  bool alertUp() const { return alert_ != nullptr; }

 private:
  void say(const std::string& line) const;

  Ports ports_;
  Hooks hooks_;
  InputGrantWatch watch_;
  Executor::Timer timer_;
  std::shared_ptr<ModalAlert> alert_;  // while it is up
  uint64_t quietUntilNs_ = 0;
  bool everQuieted_ = false;
};

}  // namespace lumenrail

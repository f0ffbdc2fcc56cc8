#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lumenrail {

// A sticky event: once signalled it stays signalled and wakes every waiter.
class OneShotEvent final {
 public:
  OneShotEvent() = default;
  OneShotEvent(const OneShotEvent&) = delete;
  OneShotEvent& operator=(const OneShotEvent&) = delete;

  void signal();
  bool isSignaled() const;
  void wait();
  // True when signalled before the timeout ran out.
  bool waitFor(uint64_t timeoutNs);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

}  // namespace lumenrail

#include "platform/OneShotEvent.hpp"

#include <algorithm>
#include <chrono>

namespace lumenrail {

void OneShotEvent::signal() {
  // Notified under the lock: a waiter that wakes may destroy the event at once.
  std::lock_guard lock(mutex_);
  signaled_ = true;
  cv_.notify_all();
}

bool OneShotEvent::isSignaled() const {
  std::lock_guard lock(mutex_);
  return signaled_;
}

void OneShotEvent::wait() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return signaled_; });
}

bool OneShotEvent::waitFor(uint64_t timeoutNs) {
  std::unique_lock lock(mutex_);
  // Clamp so that "wait practically forever" cannot overflow the clock.
  const auto span = std::chrono::nanoseconds(
      static_cast<int64_t>(std::min<uint64_t>(timeoutNs, uint64_t{1} << 62)));
  return cv_.wait_for(lock, span, [&] { return signaled_; });
}

}  // namespace lumenrail

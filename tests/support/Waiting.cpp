#include "support/Waiting.hpp"

namespace lumenrail::test {

bool eventually(const std::function<bool()>& condition, uint64_t timeoutNs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void EventCounter::add(int n) {
  std::lock_guard lock(mutex_);
  count_ += n;
  cv_.notify_all();
}

int EventCounter::count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

bool EventCounter::waitFor(int atLeast, uint64_t timeoutNs) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::nanoseconds(timeoutNs), [&] { return count_ >= atLeast; });
}

}  // namespace lumenrail::test

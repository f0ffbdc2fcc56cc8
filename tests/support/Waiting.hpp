#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace lumenrail::test {

// Generous: a deadline only bounds a failing test, it never decides a passing one.
inline constexpr uint64_t kDeadlineNs = 10'000'000'000;

// Polls `condition` until it holds or the deadline passes.
bool eventually(const std::function<bool()>& condition, uint64_t timeoutNs = kDeadlineNs);

// Counts events from any thread; tests wait for a count with a deadline.
class EventCounter {
 public:
  void add(int n = 1);
  int count() const;
  bool waitFor(int atLeast, uint64_t timeoutNs = kDeadlineNs) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  int count_ = 0;
};

}  // namespace lumenrail::test

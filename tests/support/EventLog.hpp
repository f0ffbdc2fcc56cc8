#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace lumenrail::test {

// Collects a component's event lines from any thread; tests wait for a line.
class EventLog {
 public:
  void add(const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    cv_.notify_all();
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool contains(const std::string& needle) const {
    std::lock_guard lock(mutex_);
    for (auto& l : lines_) {
      if (l.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  int count(const std::string& needle) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (auto& l : lines_) n += l.find(needle) != std::string::npos;
    return n;
  }
  // Waits until a line containing `needle` has arrived.
  bool waitFor(const std::string& needle, int timeoutMs = 10000) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (auto& l : lines_) {
        if (l.find(needle) != std::string::npos) return true;
      }
      return false;
    });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::string> lines_;
};

}  // namespace lumenrail::test

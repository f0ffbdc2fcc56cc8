#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/SerialQueue.hpp"

namespace lumenrail {

// The serial queue an injector works on, as an interface so tests can run
// the work by hand against a fake clock.
class TaskExecutor {
 public:
  using Task = std::function<void()>;
  virtual ~TaskExecutor() = default;
  virtual void async(Task task) = 0;
  virtual void asyncAfter(uint64_t delayNs, Task task) = 0;
  // Runs `task` after everything queued before it and returns when it has run.
  virtual void sync(Task task) = 0;
};

class SerialQueueExecutor final : public TaskExecutor {
 public:
  explicit SerialQueueExecutor(std::string label) : queue_(std::move(label)) {}
  void async(Task task) override { queue_.async(std::move(task)); }
  void asyncAfter(uint64_t delayNs, Task task) override { queue_.asyncAfter(delayNs, std::move(task)); }
  void sync(Task task) override { queue_.sync(task); }
  SerialQueue& queue() { return queue_; }

 private:
  SerialQueue queue_;
};

}  // namespace lumenrail

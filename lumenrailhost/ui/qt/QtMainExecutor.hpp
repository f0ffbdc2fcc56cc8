#pragma once

// The main queue on Qt: work posted from any thread runs on the GUI thread
// through a queued call on a context object; once the context is gone (the
// main loop has ended) posted work is dropped. Timers are QTimers owned by
// the context, timed by the event loop; the clock is the uptime clock.

#include "platform/Executor.hpp"

class QObject;

namespace lumenrail {

class QtMainExecutor final : public Executor {
 public:
  // Call on the GUI thread.
  QtMainExecutor();
  ~QtMainExecutor() override;
  QtMainExecutor(const QtMainExecutor&) = delete;
  QtMainExecutor& operator=(const QtMainExecutor&) = delete;

  void post(Task task) override;
  void postAfter(uint64_t delayNs, Task task) override;
  // Start and cancel on the GUI thread: a QTimer belongs to the thread that made it.
  [[nodiscard]] Timer startTimer(uint64_t delayNs, uint64_t intervalNs, Task task) override;
  uint64_t nowNs() const override;
  bool isCurrent() const override;

 private:
  QObject* context_;
};

}  // namespace lumenrail

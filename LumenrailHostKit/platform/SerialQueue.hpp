#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/Executor.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"

namespace lumenrail {

struct SerialQueueState;

// A serial work queue on one named thread: tasks run one at a time in FIFO
// order; delayed tasks join the FIFO when they fall due.
//
// Destruction cancels delayed tasks and repeating timers, runs the tasks that
// were already queued, and joins the thread. Destroying the queue from one of
// its own tasks is safe: the thread then finishes the queued tasks by itself.
class SerialQueue final : public Executor {
 public:
  using Task = std::function<void()>;

  // Cancels its timer when destroyed or cancelled; outliving the queue is harmless.
  class Timer final {
   public:
    Timer() = default;
    Timer(Timer&& other) noexcept;
    Timer& operator=(Timer&& other) noexcept;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer();

    // No tick starts after this returns; a tick running on another thread may finish.
    void cancel();
    bool active() const;

   private:
    friend class SerialQueue;
    Timer(std::weak_ptr<SerialQueueState> state, uint64_t id);
    std::weak_ptr<SerialQueueState> state_;
    uint64_t id_ = 0;
  };

  explicit SerialQueue(std::string label);
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;
  ~SerialQueue();

  const std::string& label() const { return label_; }
  bool isCurrent() const override;

  void async(Task task);
  void asyncAfter(uint64_t delayNs, Task task);

  // Executor, on the uptime clock.
  void post(Task task) override { async(std::move(task)); }
  void postAfter(uint64_t delayNs, Task task) override { asyncAfter(delayNs, std::move(task)); }
  [[nodiscard]] Executor::Timer startTimer(uint64_t delayNs, uint64_t intervalNs, Task task) override;
  uint64_t nowNs() const override;

  // Runs `fn` on the queue and returns its result; runs it inline when called
  // from the queue itself (waiting on oneself would never end).
  template <typename F>
  auto sync(F&& fn) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if (isCurrent()) return fn();
    OneShotEvent done;
    std::exception_ptr error;
    if constexpr (std::is_void_v<R>) {
      async([&] {
        try {
          fn();
        } catch (...) {
          error = std::current_exception();
        }
        done.signal();
      });
      done.wait();
      if (error) std::rethrow_exception(error);
    } else {
      std::optional<R> result;
      async([&] {
        try {
          result.emplace(fn());
        } catch (...) {
          error = std::current_exception();
        }
        done.signal();
      });
      done.wait();
      if (error) std::rethrow_exception(error);
      return std::move(*result);
    }
  }

  // Runs `task` every `intervalNs`, first after `firstDelayNs`. Missed ticks
  // are not made up: a late tick is followed by the next one an interval later.
  [[nodiscard]] Timer scheduleRepeating(uint64_t intervalNs, uint64_t firstDelayNs, Task task);

 private:
  // intervalNs 0: one tick, after which the timer is spent.
  Timer armTimer(uint64_t intervalNs, uint64_t firstDelayNs, Task task);

  std::string label_;
  std::shared_ptr<SerialQueueState> state_;
  NamedThread thread_;
};

}  // namespace lumenrail

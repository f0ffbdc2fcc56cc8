#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <utility>

#include "platform/OneShotEvent.hpp"

namespace lumenrail {

// The one way work is scheduled in the host: run a task soon, after a delay,
// or repeatedly, one task at a time on the executor's own thread, timed by the
// executor's clock. The serial queue implements it with a named thread and the
// uptime clock, the GUI with its event loop, the tests by hand with a fake clock.
class Executor {
 public:
  using Task = std::function<void()>;

  // A delayed or repeating task; cancelled when destroyed. May outlive its executor.
  class Timer final {
   public:
    Timer() = default;
    // `cancel` returns once no tick can start any more (a tick already
    // running on another thread may finish).
    explicit Timer(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Timer(Timer&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    Timer& operator=(Timer&& other) noexcept {
      if (this != &other) {
        cancel();
        cancel_ = std::exchange(other.cancel_, nullptr);
      }
      return *this;
    }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() { cancel(); }

    void cancel() {
      if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
    }
    // False once cancelled; a one-shot timer that has fired still reads true.
    bool armed() const { return static_cast<bool>(cancel_); }

   private:
    std::function<void()> cancel_;
  };

  virtual ~Executor() = default;

  virtual void post(Task task) = 0;
  // Fire and forget: runs `task` once `delayNs` has passed on this executor's clock.
  virtual void postAfter(uint64_t delayNs, Task task) = 0;
  // Runs `task` after `delayNs`, then every `intervalNs` when that is not 0,
  // until the returned timer is cancelled or destroyed. Missed ticks are not
  // made up.
  [[nodiscard]] virtual Timer startTimer(uint64_t delayNs, uint64_t intervalNs, Task task) = 0;
  // This executor's clock, in nanoseconds (the uptime clock unless injected).
  virtual uint64_t nowNs() const = 0;
  // True on the thread that runs this executor's tasks.
  virtual bool isCurrent() const = 0;

  // Runs `task` after everything posted before it and returns once it has
  // run; inline when called on the executor itself (waiting on oneself would
  // never end). An exception from `task` reaches the caller.
  virtual void postAndWait(Task task) {
    if (isCurrent()) return task();
    OneShotEvent done;
    std::exception_ptr error;
    post([&] {
      try {
        task();
      } catch (...) {
        error = std::current_exception();
      }
      done.signal();
    });
    done.wait();
    if (error) std::rethrow_exception(error);
  }
};

// Where a header says which executor's thread a method runs on, the method
// says it again at its entry: a call from another thread is the caller's
// fault. A debug build stops there; a release build writes one "[fault]" line
// per place to standard error and carries on. True when the thread is right.
bool expectOn(const Executor& executor, const char* where);
// For methods that must not run on `executor`: they wait for it.
bool expectOff(const Executor& executor, const char* where);

}  // namespace lumenrail

#pragma once

// The blocking waits of a serving session (capture and audio starts, the
// static-screen probe, the first-frame grab): each runs on a thread of its
// own and is waited for with a bound, and every wait ends at once when the
// session stops. Threads that outlive their wait are kept and joined, bounded,
// when the session is taken down.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"

namespace lumenrail {

class BoundedWaits final {
 public:
  enum class Outcome { done, late, cancelled };
  struct Result {
    Outcome outcome = Outcome::done;
    std::exception_ptr error;  // what a finished start threw
  };

  explicit BoundedWaits(Log::Sink log) : log_(std::move(log)) {}
  BoundedWaits(const BoundedWaits&) = delete;
  BoundedWaits& operator=(const BoundedWaits&) = delete;

  // Runs `start` on thread `name` and waits for it at most `waitNs`, or until
  // stop(). A start that succeeds after its wait gave up runs `lateSuccess` on
  // its own thread (it stops what it started). Cancelled at once once stopped.
  Result start(const char* name, std::function<void()> start, std::function<void()> lateSuccess, uint64_t waitNs);

  // Runs `work` on thread `name`; its answer, or nothing when it threw, did not
  // answer within `waitNs`, or the session stopped meanwhile.
  template <typename T>
  std::optional<T> answer(const char* name, std::function<std::optional<T>()> work, uint64_t waitNs) {
    auto value = std::make_shared<std::optional<T>>();
    const Result r = start(name, [value, work = std::move(work)] { *value = work(); }, nullptr, waitNs);
    if (r.outcome != Outcome::done || r.error) return std::nullopt;
    return std::move(*value);
  }

  // Waits `ns`; false when the session stopped meanwhile (or had stopped).
  bool pause(uint64_t ns);
  // Ends every wait now and refuses new ones.
  void stop();
  bool stopped() const;
  // Joins the threads kept from waits that gave up, all within one bound.
  void joinAll(uint64_t boundNs);

 private:
  struct Box {
    bool done = false;
    bool abandoned = false;
    std::exception_ptr error;
  };
  void keep(NamedThread thread);

  const Log::Sink log_;
  // One lock for the stop flag and every box, so a stop wakes every wait.
  const std::shared_ptr<std::mutex> lock_ = std::make_shared<std::mutex>();
  const std::shared_ptr<std::condition_variable> cv_ = std::make_shared<std::condition_variable>();
  bool stopped_ = false;  // under *lock_
  std::mutex threadsLock_;
  std::vector<NamedThread> threads_;
};

}  // namespace lumenrail

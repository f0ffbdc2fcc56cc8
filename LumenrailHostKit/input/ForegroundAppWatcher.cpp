#include "input/ForegroundAppWatcher.hpp"

#include <chrono>
#include <cmath>
#include <condition_variable>

#include "input/AppIdentity.hpp"

namespace lumenrail {

struct ForegroundAppWatcher::Shared {
  std::shared_ptr<ForegroundAppSource> source;
  mutable std::mutex lock;
  std::string lastStem;  // under lock
};

struct ForegroundAppWatcher::Run {
  std::function<void(const std::string&)> onChange;
  Log::Sink onEvent;
  std::mutex lock;
  std::condition_variable wake;
  bool stopped = false;
};

ForegroundAppWatcher::ForegroundAppWatcher(double pollInterval, std::shared_ptr<ForegroundAppSource> source)
    : pollInterval_(pollInterval), shared_(std::make_shared<Shared>()) {
  shared_->source = std::move(source);
}

ForegroundAppWatcher::~ForegroundAppWatcher() {
  stop();
  std::lock_guard threads(threadLock_);
  if (!thread_.joinable()) return;
  if (thread_.isCurrent()) {
    // Destroyed from its own callback: a thread cannot join itself. It has
    // been told to stop, returns from the callback straight out of its loop
    // and touches only the state it holds itself.
    thread_.detach();
  } else {
    thread_.join();
  }
}

std::string ForegroundAppWatcher::current() const {
  std::lock_guard guard(shared_->lock);
  return shared_->lastStem;
}

bool ForegroundAppWatcher::running() const {
  std::lock_guard guard(runLock_);
  if (!run_) return false;
  std::lock_guard runGuard(run_->lock);
  return !run_->stopped;
}

void ForegroundAppWatcher::start() {
  std::lock_guard threads(threadLock_);
  if (running()) return;
  // A stopped thread may still be finishing its last poll.
  if (thread_.joinable() && !thread_.isCurrent()) thread_.join();
  auto run = std::make_shared<Run>();
  run->onChange = onChange;
  run->onEvent = onEvent;
  {
    std::lock_guard guard(runLock_);
    run_ = run;
  }
  thread_ = NamedThread(threadName, [shared = shared_, run, interval = pollInterval_] {
    pollLoop(shared, run, interval);
  });
  const double ms = pollInterval_ * 1000.0;
  const long long whole = std::isfinite(ms) && ms >= 0 && ms < 9e15 ? static_cast<long long>(ms) : 0;
  if (onEvent) onEvent("foreground watcher started (poll " + std::to_string(whole) + "ms)");
}

void ForegroundAppWatcher::stop() {
  std::shared_ptr<Run> run;
  {
    std::lock_guard guard(runLock_);
    run = run_;
  }
  if (!run) return;
  std::lock_guard guard(run->lock);
  run->stopped = true;
  run->wake.notify_all();
}

void ForegroundAppWatcher::pollLoop(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Run>& run,
                                    double interval) {
  const double seconds = std::isfinite(interval) && interval > 0 ? std::min(interval, 3600.0) : 0.0;
  const auto sleep = std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
  const auto stopped = [&] {
    std::lock_guard guard(run->lock);
    return run->stopped;
  };
  while (!stopped()) {
    const std::optional<std::string> id = shared->source ? shared->source->frontmostAppId() : std::nullopt;
    const std::string stem = id ? AppIdentity::stem(*id) : std::string();
    bool changed = false;
    {
      std::lock_guard guard(shared->lock);
      if (stem != shared->lastStem) {
        shared->lastStem = stem;
        changed = true;
      }
    }
    if (changed) {
      if (run->onEvent) run->onEvent("foreground app → " + (stem.empty() ? std::string("(none)") : stem));
      if (run->onChange) run->onChange(stem);
    }
    std::unique_lock guard(run->lock);
    run->wake.wait_for(guard, sleep, [&] { return run->stopped; });
  }
}

}  // namespace lumenrail

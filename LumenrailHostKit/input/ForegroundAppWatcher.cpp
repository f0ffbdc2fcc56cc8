#include "input/ForegroundAppWatcher.hpp"

#include <chrono>
#include <cmath>

#include "input/AppIdentity.hpp"

namespace lumenrail {

ForegroundAppWatcher::ForegroundAppWatcher(double pollInterval, std::shared_ptr<ForegroundAppSource> source)
    : pollInterval_(pollInterval), source_(std::move(source)) {}

ForegroundAppWatcher::~ForegroundAppWatcher() {
  stop();
  std::lock_guard threads(threadLock_);
  if (thread_.joinable()) {
    if (thread_.isCurrent()) {
      thread_.detach();  // destroyed from a callback on its own thread
    } else {
      thread_.join();
    }
  }
}

std::string ForegroundAppWatcher::current() const {
  std::lock_guard guard(lock_);
  return lastStem_;
}

bool ForegroundAppWatcher::running() const {
  std::lock_guard guard(lock_);
  return running_;
}

void ForegroundAppWatcher::start() {
  std::lock_guard threads(threadLock_);
  {
    std::lock_guard guard(lock_);
    if (running_) return;
  }
  // A stopped thread may still be finishing its last poll.
  if (thread_.joinable() && !thread_.isCurrent()) thread_.join();
  {
    std::lock_guard guard(lock_);
    running_ = true;
  }
  thread_ = NamedThread(threadName, [this] { pollLoop(); });
  const double ms = pollInterval_ * 1000.0;
  const long long whole = std::isfinite(ms) && ms >= 0 && ms < 9e15 ? static_cast<long long>(ms) : 0;
  if (onEvent) onEvent("foreground watcher started (poll " + std::to_string(whole) + "ms)");
}

void ForegroundAppWatcher::stop() {
  std::lock_guard guard(lock_);
  running_ = false;
  wake_.notify_all();
}

void ForegroundAppWatcher::pollLoop() {
  {
    std::lock_guard guard(lock_);
    if (!running_) return;
  }
  const double seconds = std::isfinite(pollInterval_) && pollInterval_ > 0 ? std::min(pollInterval_, 3600.0) : 0.0;
  const auto interval = std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
  while (true) {
    const std::optional<std::string> id = source_ ? source_->frontmostAppId() : std::nullopt;
    const std::string stem = id ? AppIdentity::stem(*id) : std::string();
    bool changed = false;
    {
      std::lock_guard guard(lock_);
      if (stem != lastStem_) {
        lastStem_ = stem;
        changed = true;
      }
    }
    if (changed) {
      if (onEvent) onEvent("foreground app → " + (stem.empty() ? std::string("(none)") : stem));
      if (onChange) onChange(stem);
    }
    std::unique_lock guard(lock_);
    wake_.wait_for(guard, interval, [&] { return !running_; });
    if (!running_) return;
  }
}

}  // namespace lumenrail

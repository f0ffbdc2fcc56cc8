#include "session/BoundedWaits.hpp"

#include <chrono>

#include "platform/Clock.hpp"

namespace lumenrail {

BoundedWaits::Result BoundedWaits::start(const char* name, std::function<void()> start,
                                         std::function<void()> lateSuccess, uint64_t waitNs) {
  auto box = std::make_shared<Box>();
  {
    std::lock_guard guard(*lock_);
    if (stopped_) return {Outcome::cancelled, nullptr};
  }
  NamedThread thread(name, [box, lock = lock_, cv = cv_, start = std::move(start),
                            lateSuccess = std::move(lateSuccess)] {
    std::exception_ptr error;
    try {
      start();
    } catch (...) {
      error = std::current_exception();
    }
    bool abandoned = false;
    {
      std::lock_guard guard(*lock);
      box->done = true;
      box->error = error;
      abandoned = box->abandoned;
      cv->notify_all();
    }
    if (abandoned && !error && lateSuccess) lateSuccess();
  });
  Result result;
  bool finished = false;
  {
    std::unique_lock guard(*lock_);
    cv_->wait_for(guard, std::chrono::nanoseconds(waitNs), [&] { return box->done || stopped_; });
    finished = box->done;
    if (finished) {
      result = {Outcome::done, box->error};
    } else {
      box->abandoned = true;
      result = {stopped_ ? Outcome::cancelled : Outcome::late, nullptr};
    }
  }
  if (finished) {
    thread.join();
  } else {
    keep(std::move(thread));
  }
  return result;
}

bool BoundedWaits::pause(uint64_t ns) {
  std::unique_lock guard(*lock_);
  return !cv_->wait_for(guard, std::chrono::nanoseconds(ns), [&] { return stopped_; });
}

void BoundedWaits::stop() {
  std::lock_guard guard(*lock_);
  stopped_ = true;
  cv_->notify_all();
}

bool BoundedWaits::stopped() const {
  std::lock_guard guard(*lock_);
  return stopped_;
}

void BoundedWaits::keep(NamedThread thread) {
  // Threads that have ended are joined here, so the list does not grow.
  std::vector<NamedThread> ended;
  {
    std::lock_guard guard(threadsLock_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (it->finished()) {
        ended.push_back(std::move(*it));
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
    threads_.push_back(std::move(thread));
  }
  for (auto& t : ended) t.join();
}

void BoundedWaits::joinAll(uint64_t boundNs) {
  std::vector<NamedThread> threads;
  {
    std::lock_guard guard(threadsLock_);
    threads.swap(threads_);
  }
  // One deadline for all of them: threads stuck on one server are waited for
  // side by side, not one bound after another.
  const uint64_t deadline = uptimeNs() + boundNs;
  for (auto& t : threads) {
    const uint64_t now = uptimeNs();
    if (!t.joinFor(deadline > now ? deadline - now : 0)) {
      log_("[m2] WARN: " + t.name() + " is still blocked — left to finish on its own");
      t.detach();
    }
  }
}

}  // namespace lumenrail

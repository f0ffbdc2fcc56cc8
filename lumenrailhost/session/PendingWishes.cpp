#include "session/PendingWishes.hpp"

#include <algorithm>

namespace lumenrail {

PendingWishes::PendingWishes(std::shared_ptr<Executor> timers, std::function<void()> due)
    : timers_(std::move(timers)), due_(std::move(due)) {}

template <class Change>
void PendingWishes::gather(Change change) {
  std::lock_guard lock(lock_);
  if (stopped_) return;
  change(batch_);
  // The settle runs from the first wish of a burst and is not pushed back by
  // later ones, so a client that never stops asking still gets one hand-over
  // per settle, not none.
  if (!settle_.armed()) settle_ = timers_->startTimer(kSettleNs, 0, due_);
}

void PendingWishes::codecChanged() {
  gather([](Batch& b) { b.codec = true; });
}

void PendingWishes::audioChanged() {
  gather([](Batch& b) { b.audio = true; });
}

void PendingWishes::settingsChanged() {
  gather([](Batch& b) { b.settings = true; });
}

void PendingWishes::modeAsked(int32_t fd, const Mode& mode) {
  gather([fd, mode](Batch& b) {
    auto it = std::find_if(b.modes.begin(), b.modes.end(), [fd](const auto& wish) { return wish.first == fd; });
    if (it != b.modes.end()) {
      it->second = mode;
    } else {
      b.modes.emplace_back(fd, mode);
    }
  });
}

void PendingWishes::forget(int32_t fd) {
  std::lock_guard lock(lock_);
  std::erase_if(batch_.modes, [fd](const auto& wish) { return wish.first == fd; });
}

PendingWishes::Batch PendingWishes::take() {
  Executor::Timer spent;
  Batch taken;
  {
    std::lock_guard lock(lock_);
    taken = std::exchange(batch_, Batch{});
    spent = std::move(settle_);
  }
  return taken;
}

void PendingWishes::stop() {
  Executor::Timer settle;
  {
    std::lock_guard lock(lock_);
    stopped_ = true;
    batch_ = Batch{};
    settle = std::move(settle_);
  }
  settle.cancel();
}

}  // namespace lumenrail

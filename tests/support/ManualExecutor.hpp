#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Executor.hpp"

namespace lumenrail::test {

// An executor that runs work only when the test says so, in due-time order,
// against a clock the test moves. Work may be posted from any thread; it runs
// on the thread that calls runReady() or advance().
class ManualExecutor final : public Executor {
 public:
  explicit ManualExecutor(uint64_t startNs = 1'000'000'000'000) : state_(std::make_shared<State>()) {
    state_->now = startNs;
  }

  void post(Task task) override { add(0, 0, std::move(task)); }
  void postAfter(uint64_t delayNs, Task task) override { add(delayNs, 0, std::move(task)); }
  Timer startTimer(uint64_t delayNs, uint64_t intervalNs, Task task) override {
    const uint64_t id = add(delayNs, intervalNs, std::move(task), true);
    return Timer([weak = std::weak_ptr<State>(state_), id] {
      if (auto state = weak.lock()) {
        std::lock_guard lock(state->lock);
        std::erase_if(state->items, [id](const Item& item) { return item.timerId == id; });
      }
    });
  }
  uint64_t nowNs() const override {
    std::lock_guard lock(state_->lock);
    return state_->now;
  }
  bool isCurrent() const override {
    std::lock_guard lock(state_->lock);
    return state_->runner == std::this_thread::get_id();
  }
  // Nobody else runs this executor's work: the caller runs what is due first.
  void postAndWait(Task task) override {
    runReady();
    // The task runs as this executor's work, so affinity checks inside it hold.
    std::thread::id before;
    {
      std::lock_guard lock(state_->lock);
      before = std::exchange(state_->runner, std::this_thread::get_id());
    }
    struct Restore {
      State& state;
      std::thread::id before;
      ~Restore() {
        std::lock_guard lock(state.lock);
        state.runner = before;
      }
    } restore{*state_, before};
    task();
  }

  // Runs everything due now, including work that work due now adds.
  void runReady() { runUntil(nowNs()); }
  // Runs the first piece of work due now; false when none is.
  bool runOne() { return runUntil(nowNs(), 1) == 1; }
  // Moves the clock forward, running work at its due time on the way.
  void advance(uint64_t ns) { runUntil(nowNs() + ns); }
  // Moves the clock without running anything (work that was late).
  void clockJump(uint64_t ns) {
    std::lock_guard lock(state_->lock);
    state_->now += ns;
  }
  size_t pending() const {
    std::lock_guard lock(state_->lock);
    return state_->items.size();
  }

 private:
  struct Item {
    uint64_t due = 0;
    uint64_t seq = 0;
    uint64_t intervalNs = 0;
    uint64_t timerId = 0;  // 0: plain work
    std::shared_ptr<Task> task;
  };
  struct State {
    mutable std::mutex lock;
    uint64_t now = 0;
    uint64_t seq = 0;
    uint64_t nextTimerId = 1;
    std::vector<Item> items;
    std::thread::id runner;
  };

  uint64_t add(uint64_t delayNs, uint64_t intervalNs, Task task, bool timer = false) {
    std::lock_guard lock(state_->lock);
    const uint64_t id = timer ? state_->nextTimerId++ : 0;
    state_->items.push_back({state_->now + delayNs, state_->seq++, intervalNs, id, std::make_shared<Task>(std::move(task))});
    return id;
  }

  // Returns how many tasks ran.
  // A task that runs due work itself is still this executor's work after it.
  size_t runUntil(uint64_t target, size_t limit = SIZE_MAX) {
    std::thread::id before;
    {
      std::lock_guard lock(state_->lock);
      before = state_->runner;
    }
    for (size_t ran = 0;; ++ran) {
      std::shared_ptr<Task> task;
      {
        std::lock_guard lock(state_->lock);
        auto due = std::min_element(state_->items.begin(), state_->items.end(), [](const Item& a, const Item& b) {
          return a.due != b.due ? a.due < b.due : a.seq < b.seq;
        });
        if (ran == limit || due == state_->items.end() || due->due > target) {
          if (ran != limit) state_->now = std::max(state_->now, target);
          state_->runner = before;
          return ran;
        }
        state_->now = std::max(state_->now, due->due);
        task = due->task;
        if (due->timerId != 0 && due->intervalNs != 0) {
          // Like the real executors, a late timer does not make up missed ticks.
          due->due = std::max(due->due + due->intervalNs, state_->now + due->intervalNs);
          due->seq = state_->seq++;
        } else {
          state_->items.erase(due);
        }
        state_->runner = std::this_thread::get_id();
      }
      (*task)();
    }
  }

  std::shared_ptr<State> state_;
};

}  // namespace lumenrail::test

#include "platform/SerialQueue.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <set>
#include <thread>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"

namespace lumenrail {

struct SerialQueueState {
  struct Delayed {
    uint64_t deadlineNs;
    uint64_t seq;       // FIFO among equal deadlines
    uint64_t timerId;   // 0 for one-shot work
    uint64_t intervalNs;
    std::shared_ptr<SerialQueue::Task> task;
    bool operator>(const Delayed& o) const {
      return deadlineNs != o.deadlineNs ? deadlineNs > o.deadlineNs : seq > o.seq;
    }
  };

  std::string label;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<SerialQueue::Task> ready;
  std::priority_queue<Delayed, std::vector<Delayed>, std::greater<>> delayed;
  std::set<uint64_t> liveTimers;
  uint64_t nextSeq = 1;
  uint64_t nextTimerId = 1;
  bool stopping = false;
  std::thread::id threadId;

  void run();
  void cancelTimer(uint64_t id) {
    std::lock_guard lock(mutex);
    liveTimers.erase(id);
  }
};

namespace {

void runGuarded(const std::string& label, const SerialQueue::Task& task) {
  try {
    task();
  } catch (const std::exception& e) {
    Log::lineTo(2, "queue " + label + ": task ended by an exception: " + e.what());
  } catch (...) {
    Log::lineTo(2, "queue " + label + ": task ended by an unknown exception");
  }
}

}  // namespace

void SerialQueueState::run() {
  std::unique_lock lock(mutex);
  for (;;) {
    // Move what has fallen due into the FIFO; repeating timers re-arm here.
    const uint64_t now = uptimeNs();
    while (!delayed.empty() && delayed.top().deadlineNs <= now) {
      Delayed item = delayed.top();
      delayed.pop();
      if (item.timerId == 0) {
        ready.push_back([task = item.task] { (*task)(); });
        continue;
      }
      if (!liveTimers.count(item.timerId)) continue;
      const uint64_t id = item.timerId;
      const bool once = item.intervalNs == 0;
      // The tick checks again when it runs, so a cancel from the queue itself wins.
      ready.push_back([this, id, once, task = item.task] {
        {
          std::lock_guard l(mutex);
          if (!liveTimers.count(id)) return;
          if (once) liveTimers.erase(id);
        }
        (*task)();
      });
      if (once) continue;
      uint64_t next = item.deadlineNs + item.intervalNs;
      if (next <= now) next = now + item.intervalNs;
      item.deadlineNs = next;
      item.seq = nextSeq++;
      delayed.push(std::move(item));
    }

    if (!ready.empty()) {
      SerialQueue::Task task = std::move(ready.front());
      ready.pop_front();
      lock.unlock();
      runGuarded(label, task);
      task = nullptr;  // captured state dies outside the lock
      lock.lock();
      continue;
    }
    if (stopping) return;
    if (delayed.empty()) {
      cv.wait(lock);
    } else {
      const uint64_t wait = delayed.top().deadlineNs - now;
      cv.wait_for(lock, std::chrono::nanoseconds(static_cast<int64_t>(std::min<uint64_t>(wait, uint64_t{1} << 62))));
    }
  }
}

SerialQueue::Timer::Timer(std::weak_ptr<SerialQueueState> state, uint64_t id) : state_(std::move(state)), id_(id) {}

SerialQueue::Timer::Timer(Timer&& other) noexcept : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

SerialQueue::Timer& SerialQueue::Timer::operator=(Timer&& other) noexcept {
  if (this != &other) {
    cancel();
    state_ = std::move(other.state_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

SerialQueue::Timer::~Timer() { cancel(); }

void SerialQueue::Timer::cancel() {
  if (id_ == 0) return;
  if (auto state = state_.lock()) state->cancelTimer(id_);
  id_ = 0;
  state_.reset();
}

bool SerialQueue::Timer::active() const {
  if (id_ == 0) return false;
  auto state = state_.lock();
  if (!state) return false;
  std::lock_guard lock(state->mutex);
  return state->liveTimers.count(id_) > 0 && !state->stopping;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<SerialQueueState>()) {
  state_->label = label_;
  OneShotEvent started;
  // The thread owns a reference to the state so it may outlive this object
  // when the queue is destroyed from one of its own tasks.
  NamedThread thread(label_, [state = state_, &started] {
    {
      std::lock_guard lock(state->mutex);
      state->threadId = std::this_thread::get_id();
    }
    started.signal();
    state->run();
  });
  started.wait();
  thread_ = std::move(thread);
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->liveTimers.clear();
    state_->delayed = {};
  }
  state_->cv.notify_all();
  if (thread_.isCurrent()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

bool SerialQueue::isCurrent() const {
  std::lock_guard lock(state_->mutex);
  return state_->threadId == std::this_thread::get_id();
}

// Enqueuers notify under the lock: once it is released the task may run and
// destroy this queue, so nothing may touch `this` afterwards.
void SerialQueue::async(Task task) {
  std::lock_guard lock(state_->mutex);
  if (state_->stopping) return;
  state_->ready.push_back(std::move(task));
  state_->cv.notify_one();
}

void SerialQueue::asyncAfter(uint64_t delayNs, Task task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    const uint64_t now = uptimeNs();
    const uint64_t deadline = delayNs > UINT64_MAX - now ? UINT64_MAX : now + delayNs;
    state_->delayed.push({deadline, state_->nextSeq++, 0, 0, std::make_shared<Task>(std::move(task))});
    state_->cv.notify_one();
  }
}

SerialQueue::Timer SerialQueue::scheduleRepeating(uint64_t intervalNs, uint64_t firstDelayNs, Task task) {
  if (intervalNs == 0) intervalNs = 1;  // a zero interval would spin the queue
  return armTimer(intervalNs, firstDelayNs, std::move(task));
}

Executor::Timer SerialQueue::startTimer(uint64_t delayNs, uint64_t intervalNs, Task task) {
  auto timer = std::make_shared<Timer>(armTimer(intervalNs, delayNs, std::move(task)));
  return Executor::Timer([timer] { timer->cancel(); });
}

uint64_t SerialQueue::nowNs() const { return uptimeNs(); }

SerialQueue::Timer SerialQueue::armTimer(uint64_t intervalNs, uint64_t firstDelayNs, Task task) {
  uint64_t id;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return Timer();
    id = state_->nextTimerId++;
    const uint64_t now = uptimeNs();
    const uint64_t deadline = firstDelayNs > UINT64_MAX - now ? UINT64_MAX : now + firstDelayNs;
    state_->liveTimers.insert(id);
    state_->delayed.push({deadline, state_->nextSeq++, id, intervalNs, std::make_shared<Task>(std::move(task))});
    state_->cv.notify_one();
  }
  return Timer(state_, id);
}

}  // namespace lumenrail

#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "input/InputEventSink.hpp"
#include "input/TaskExecutor.hpp"
#include "input/WindowActivator.hpp"
#include "wire/Wire.hpp"

namespace lumenrail::test {

struct FakeClock {
  uint64_t now = 1'000'000'000'000;
};

// Runs queued work only when the test says so, in due-time order, against a
// fake clock.
class ManualExecutor final : public TaskExecutor {
 public:
  explicit ManualExecutor(FakeClock& clock) : clock_(clock) {}

  void async(Task task) override { items_.push_back({clock_.now, seq_++, std::move(task)}); }
  void asyncAfter(uint64_t delayNs, Task task) override {
    items_.push_back({clock_.now + delayNs, seq_++, std::move(task)});
  }
  void sync(Task task) override {
    runReady();
    task();
  }

  // Runs everything due now, including work that work due now adds.
  void runReady() {
    while (auto item = takeDue(clock_.now)) item->task();
  }
  // Moves the clock forward, running timers at their due times on the way.
  void advance(uint64_t ns) {
    const uint64_t target = clock_.now + ns;
    while (auto item = takeDue(target)) {
      clock_.now = std::max(clock_.now, item->due);
      item->task();
    }
    clock_.now = target;
  }
  // Moves the clock without running anything (work that was late).
  void clockJump(uint64_t ns) { clock_.now += ns; }
  size_t pending() const { return items_.size(); }

 private:
  struct Item {
    uint64_t due = 0;
    uint64_t seq = 0;
    Task task;
  };
  std::optional<Item> takeDue(uint64_t limit) {
    auto best = items_.end();
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->due > limit) continue;
      if (best == items_.end() || std::tie(it->due, it->seq) < std::tie(best->due, best->seq)) best = it;
    }
    if (best == items_.end()) return std::nullopt;
    Item item = std::move(*best);
    items_.erase(best);
    return item;
  }

  FakeClock& clock_;
  std::vector<Item> items_;
  uint64_t seq_ = 0;
};

// Keeps every posted event as it came; thread-safe.
class RecordingSink final : public InputEventSink {
 public:
  bool post(const InputEvent& event) override {
    std::lock_guard guard(lock_);
    if (refuse && refuse(event)) {
      refused_.push_back(event);
      return false;
    }
    events_.push_back(event);
    return true;
  }
  uint64_t modifierFlags() override {
    std::lock_guard guard(lock_);
    return flags;
  }
  std::vector<InputEvent> events() const {
    std::lock_guard guard(lock_);
    return events_;
  }
  std::vector<InputEvent> take() {
    std::lock_guard guard(lock_);
    return std::exchange(events_, {});
  }
  size_t count() const {
    std::lock_guard guard(lock_);
    return events_.size();
  }
  std::vector<int64_t> types() const {
    std::vector<int64_t> out;
    for (const auto& e : events()) out.push_back(e.type);
    return out;
  }

  // Set before use.
  std::function<bool(const InputEvent&)> refuse;
  uint64_t flags = 0;

 private:
  mutable std::mutex lock_;
  std::vector<InputEvent> events_;
  std::vector<InputEvent> refused_;
};

class FakeWindows final : public WindowActivator {
 public:
  std::optional<AppWindow> under;
  int32_t activePid = 0;
  bool accept = true;
  // The front window's owner reported on successive checks; the last repeats.
  std::vector<std::optional<int32_t>> frontOwners;
  std::vector<uint32_t> activated;
  int frontChecks = 0;

  std::optional<AppWindow> windowAt(Point) override { return under; }
  bool isActive(const AppWindow& w) override { return w.pid == activePid; }
  bool activate(const AppWindow& w) override {
    activated.push_back(w.window);
    return accept;
  }
  std::optional<int32_t> frontWindowOwner() override {
    const size_t i = static_cast<size_t>(frontChecks++);
    if (frontOwners.empty()) return std::nullopt;
    return frontOwners[std::min(i, frontOwners.size() - 1)];
  }
};

// One pointer of a sample; positions in a 65536-point square map 1:1.
inline Wire::InputPointer pointer(uint8_t id, Wire::PenTool tool, uint8_t flags, uint16_t x, uint16_t y,
                                  uint16_t pressure = 0) {
  Wire::InputPointer p;
  p.pointerId = id;
  p.tool = tool;
  p.flags = flags;
  p.xNorm = x;
  p.yNorm = y;
  p.pressure = pressure;
  return p;
}

inline std::vector<Wire::InputSample> packet(std::vector<Wire::InputPointer> pointers, uint32_t tDeltaUs = 0) {
  return {Wire::InputSample{tDeltaUs, std::move(pointers)}};
}

inline constexpr uint8_t kHover = Wire::PenFlag::inRange;
inline constexpr uint8_t kTouch = Wire::PenFlag::inRange | Wire::PenFlag::inContact;

}  // namespace lumenrail::test

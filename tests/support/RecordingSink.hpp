#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "input/InputEventSink.hpp"

namespace lumenrail::test {

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

}  // namespace lumenrail::test

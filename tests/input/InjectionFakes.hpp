#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "input/WindowActivator.hpp"
#include "support/ManualExecutor.hpp"
#include "support/RecordingSink.hpp"
#include "wire/Wire.hpp"

namespace lumenrail::test {

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

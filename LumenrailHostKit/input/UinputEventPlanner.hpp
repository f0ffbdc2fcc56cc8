#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "input/Geometry.hpp"
#include "input/InputEvent.hpp"
#include "input/KeyStateSync.hpp"
#include "input/WheelSteps.hpp"

namespace lumenrail {

// Turns host events into evdev writes for three virtual devices: a pen
// tablet (pressure, tilt, pen and rubber tools), an absolute pointer with
// high-resolution wheels, and a keyboard. Pure: the uinput sink writes what
// this plans. Not thread-safe.
class UinputEventPlanner final {
 public:
  enum class Device : uint8_t { tablet, pointer, keyboard };
  struct Write {
    Device device = Device::tablet;
    uint16_t type = 0;
    uint16_t code = 0;
    int32_t value = 0;
    bool operator==(const Write&) const = default;
  };

  static constexpr int32_t pressureMax = 4095;
  static constexpr int32_t tiltMaxDegrees = 90;

  // `desktop`: the area the absolute axes span, in desktop points.
  explicit UinputEventPlanner(Rect desktop);

  int32_t axisMaxX() const { return maxX_; }
  int32_t axisMaxY() const { return maxY_; }

  // Nothing when the event has no Linux form (rotate, unknown key positions).
  std::optional<std::vector<Write>> plan(const InputEvent& event);
  // Lifts every tool, button and key this planner put down.
  std::vector<Write> releaseEverything();

 private:
  void tabletAxes(std::vector<Write>& out, const InputEvent& e);
  void setTool(std::vector<Write>& out, uint16_t tool);
  void setTabletKey(std::vector<Write>& out, uint16_t code, bool& state, bool down);
  int32_t absX(double x) const;
  int32_t absY(double y) const;
  static void syn(std::vector<Write>& out, Device d);

  Rect desktop_;
  int32_t maxX_ = 0;
  int32_t maxY_ = 0;
  uint16_t tool_ = 0;  // BTN_TOOL_PEN, BTN_TOOL_RUBBER, or 0 out of proximity
  bool touch_ = false;
  bool stylus_ = false;
  bool left_ = false;
  bool right_ = false;
  KeyStateSync keys_;
  WheelSteps vertical_;
  WheelSteps horizontal_;
  WheelSteps zoom_;
};

}  // namespace lumenrail

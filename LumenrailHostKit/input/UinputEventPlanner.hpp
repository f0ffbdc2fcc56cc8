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
// tablet (pressure, tilt, rotation, pen and rubber tools), an absolute
// pointer with high-resolution wheels, and a keyboard. Pure: the uinput sink
// writes what this plans. Not thread-safe.
//
// X spreads an absolute device's whole axis range over the whole X screen,
// which grows and shrinks as displays come and go. So the axes have a fixed
// range and every position is scaled by the screen's size at that moment.
//
// Buttons are read as X and libinput read them: the pen tip is button 1,
// BTN_STYLUS2 button 3 (BTN_STYLUS would be the middle button). They follow
// the host's mouse event types, so this sink presses the same X buttons as
// the XTest one. For a tablet with a pressure axis libinput takes the tip
// from the pressure alone (down above about 5 % of the range, up below about
// 1 %), so a tip that is down never reports less than `contactPressureMin`.
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

  static constexpr int32_t axisMax = 32767;
  static constexpr int32_t pressureMax = 4095;
  // 8 % of the range: clear of libinput's 5 % tip threshold.
  static constexpr int32_t contactPressureMin = 328;
  // What a client that reports no pressure draws with.
  static constexpr int32_t steadyPressure = 2048;
  static constexpr int32_t tiltMaxDegrees = 90;
  // ABS_Z: tenths of a degree, 0 ... 3599.
  static constexpr int32_t rotationUnits = 3600;

  // `screen`: the X screen's size in pixels (the root window's).
  explicit UinputEventPlanner(Size screen);

  // The axes span the whole screen, whose top left is the desktop's origin...
  void setScreen(Size screen);
  // ...or one monitor's area of the desktop, where the compositor maps the
  // device to a single monitor.
  void setArea(Rect area);
  Size screen() const { return {area_.width, area_.height}; }

  // Nothing when the event has no Linux form (rotate, unknown key positions).
  std::optional<std::vector<Write>> plan(const InputEvent& event);
  // Lifts every tool, button and key this planner put down.
  std::vector<Write> releaseEverything();

 private:
  void tabletPoint(std::vector<Write>& out, const InputEvent& e);
  void setTool(std::vector<Write>& out, uint16_t tool);
  void setTabletKey(std::vector<Write>& out, uint16_t code, bool& state, bool down);
  int32_t absX(double x) const;
  int32_t absY(double y) const;
  static void syn(std::vector<Write>& out, Device d);

  Rect area_;
  uint16_t tool_ = 0;  // BTN_TOOL_PEN, BTN_TOOL_RUBBER, or 0 out of proximity
  bool touch_ = false;
  bool stylus2_ = false;
  // From the capability mask of the last proximity enter.
  bool clientPressure_ = true;
  bool clientRotation_ = false;
  bool left_ = false;
  bool right_ = false;
  KeyStateSync keys_;
  WheelSteps vertical_;
  WheelSteps horizontal_;
  WheelSteps zoom_;
};

}  // namespace lumenrail

#include "input/UinputEventPlanner.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <cmath>

namespace lumenrail {

namespace {

int32_t boundedRound(double v, int32_t lo, int32_t hi) {
  if (!(v == v)) return lo;
  return static_cast<int32_t>(std::lround(std::clamp(v, static_cast<double>(lo), static_cast<double>(hi))));
}

// The fixed axis range spread over `extent` pixels, aimed at the middle of
// the pixel so either rounding of the X server lands on it.
int32_t scaled(double v, double extent) {
  if (!(extent >= 1)) extent = 1;
  const double units = std::floor((v + 0.5) / extent * (UinputEventPlanner::axisMax + 1.0));
  return boundedRound(units, 0, UinputEventPlanner::axisMax);
}

}  // namespace

UinputEventPlanner::UinputEventPlanner(Size screen) : area_{0, 0, screen.width, screen.height} {}

void UinputEventPlanner::setScreen(Size screen) { area_ = {0, 0, screen.width, screen.height}; }

void UinputEventPlanner::setArea(Rect area) { area_ = area; }

int32_t UinputEventPlanner::absX(double x) const { return scaled(x - area_.x, area_.width); }
int32_t UinputEventPlanner::absY(double y) const { return scaled(y - area_.y, area_.height); }

void UinputEventPlanner::syn(std::vector<Write>& out, Device d) { out.push_back({d, EV_SYN, SYN_REPORT, 0}); }

void UinputEventPlanner::setTabletKey(std::vector<Write>& out, uint16_t code, bool& state, bool down) {
  if (state == down) return;
  state = down;
  out.push_back({Device::tablet, EV_KEY, code, down ? 1 : 0});
}

void UinputEventPlanner::setTool(std::vector<Write>& out, uint16_t tool) {
  if (tool_ == tool) return;
  if (tool_ != 0) {
    setTabletKey(out, BTN_TOUCH, touch_, false);
    setTabletKey(out, BTN_STYLUS2, stylus2_, false);
    out.push_back({Device::tablet, EV_ABS, ABS_PRESSURE, 0});
    out.push_back({Device::tablet, EV_KEY, tool_, 0});
    if (tool != 0) syn(out, Device::tablet);  // one frame per tool
  }
  tool_ = tool;
  if (tool != 0) out.push_back({Device::tablet, EV_KEY, tool, 1});
}

void UinputEventPlanner::tabletPoint(std::vector<Write>& out, const InputEvent& e) {
  if (tool_ == 0) setTool(out, BTN_TOOL_PEN);
  const bool tip = e.type == EventType::leftMouseDown || e.type == EventType::leftMouseDragged;
  const bool barrel = e.type == EventType::rightMouseDown || e.type == EventType::rightMouseDragged;
  int32_t pressure = 0;
  if (tip) {
    const double given = e.doubleField(EventField::tabletPointPressure).value_or(1);
    pressure = clientPressure_ ? boundedRound(contactPressureMin + given * (pressureMax - contactPressureMin),
                                              contactPressureMin, pressureMax)
                               : steadyPressure;
  }
  out.push_back({Device::tablet, EV_ABS, ABS_X, absX(e.location.x)});
  out.push_back({Device::tablet, EV_ABS, ABS_Y, absY(e.location.y)});
  out.push_back({Device::tablet, EV_ABS, ABS_PRESSURE, pressure});
  const double tiltX = e.doubleField(EventField::tabletTiltX).value_or(0);
  const double tiltY = e.doubleField(EventField::tabletTiltY).value_or(0);
  out.push_back({Device::tablet, EV_ABS, ABS_TILT_X, boundedRound(tiltX * tiltMaxDegrees, -tiltMaxDegrees, tiltMaxDegrees)});
  out.push_back({Device::tablet, EV_ABS, ABS_TILT_Y, boundedRound(tiltY * tiltMaxDegrees, -tiltMaxDegrees, tiltMaxDegrees)});
  if (clientRotation_) {
    const double degrees = e.doubleField(EventField::tabletRotation).value_or(0);
    const int32_t tenths = boundedRound(degrees * 10, 0, rotationUnits);
    out.push_back({Device::tablet, EV_ABS, ABS_Z, tenths % rotationUnits});
  }
  // The lift's zero pressure and BTN_TOUCH 0 go out in one frame.
  setTabletKey(out, BTN_TOUCH, touch_, tip);
  setTabletKey(out, BTN_STYLUS2, stylus2_, barrel);
  syn(out, Device::tablet);
}

std::optional<std::vector<UinputEventPlanner::Write>> UinputEventPlanner::plan(const InputEvent& e) {
  std::vector<Write> out;
  switch (e.type) {
    case EventType::tabletProximity: {
      if (e.intField(EventField::proximityEnter).value_or(0) == 1) {
        if (const auto mask = e.intField(EventField::proximityCapabilityMask)) {
          clientPressure_ = (*mask & static_cast<int64_t>(EventValue::capabilityPressure)) != 0;
          clientRotation_ = (*mask & static_cast<int64_t>(EventValue::capabilityRotation)) != 0;
        }
        const bool eraser = e.intField(EventField::proximityPointerType) == EventValue::pointerTypeEraser;
        setTool(out, eraser ? BTN_TOOL_RUBBER : BTN_TOOL_PEN);
        out.push_back({Device::tablet, EV_ABS, ABS_X, absX(e.location.x)});
        out.push_back({Device::tablet, EV_ABS, ABS_Y, absY(e.location.y)});
      } else {
        // A leave carries no useful point (releases post it at the origin).
        setTool(out, 0);
      }
      if (!out.empty()) syn(out, Device::tablet);
      return out;
    }
    case EventType::leftMouseDown:
    case EventType::leftMouseUp:
    case EventType::rightMouseDown:
    case EventType::rightMouseUp:
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged: {
      if (e.isPen()) {
        tabletPoint(out, e);
        return out;
      }
      out.push_back({Device::pointer, EV_ABS, ABS_X, absX(e.location.x)});
      out.push_back({Device::pointer, EV_ABS, ABS_Y, absY(e.location.y)});
      const auto button = [&](uint16_t code, bool& state, bool down) {
        if (state == down) return;
        state = down;
        out.push_back({Device::pointer, EV_KEY, code, down ? 1 : 0});
      };
      if (e.type == EventType::leftMouseDown) button(BTN_LEFT, left_, true);
      if (e.type == EventType::leftMouseUp) button(BTN_LEFT, left_, false);
      if (e.type == EventType::rightMouseDown) button(BTN_RIGHT, right_, true);
      if (e.type == EventType::rightMouseUp) button(BTN_RIGHT, right_, false);
      syn(out, Device::pointer);
      return out;
    }
    case EventType::scrollWheel: {
      if (e.intField(EventField::scrollPhase) == EventValue::phaseBegan) {
        vertical_.reset();
        horizontal_.reset();
      }
      const double hiResPerPixel = kHiResPerStep / kPixelsPerWheelStep;
      const int32_t v = boundedRound(e.wheel1 * hiResPerPixel, -1'000'000, 1'000'000);
      // Positive wheel 2 scrolls left; the horizontal wheel counts right.
      const int32_t h = boundedRound(-e.wheel2 * hiResPerPixel, -1'000'000, 1'000'000);
      const int32_t vSteps = vertical_.add(v, kHiResPerStep);
      const int32_t hSteps = horizontal_.add(h, kHiResPerStep);
      if (v != 0) out.push_back({Device::pointer, EV_REL, REL_WHEEL_HI_RES, v});
      if (h != 0) out.push_back({Device::pointer, EV_REL, REL_HWHEEL_HI_RES, h});
      if (vSteps != 0) out.push_back({Device::pointer, EV_REL, REL_WHEEL, vSteps});
      if (hSteps != 0) out.push_back({Device::pointer, EV_REL, REL_HWHEEL, hSteps});
      if (!out.empty()) syn(out, Device::pointer);
      return out;
    }
    case EventType::gesture: {
      if (e.intField(EventField::gestureSubtype) != EventValue::gestureMagnify) return std::nullopt;
      if (e.intField(EventField::gesturePhase) == EventValue::phaseBegan) zoom_.reset();
      const int32_t steps = zoom_.add(e.doubleField(EventField::gestureMagnification).value_or(0), kMagnificationPerStep);
      if (steps == 0) return out;
      const bool ctrlHeld = keys_.modifiersDown().contains(KEY_LEFTCTRL);
      if (!ctrlHeld) {
        out.push_back({Device::keyboard, EV_KEY, KEY_LEFTCTRL, 1});
        syn(out, Device::keyboard);
      }
      out.push_back({Device::pointer, EV_REL, REL_WHEEL_HI_RES, steps * kHiResPerStep});
      out.push_back({Device::pointer, EV_REL, REL_WHEEL, steps});
      syn(out, Device::pointer);
      if (!ctrlHeld) {
        out.push_back({Device::keyboard, EV_KEY, KEY_LEFTCTRL, 0});
        syn(out, Device::keyboard);
      }
      return out;
    }
    case EventType::keyDown:
    case EventType::keyUp: {
      const auto actions = keys_.apply(e.keyCode, e.type == EventType::keyDown, e.flags);
      if (actions.empty()) return std::nullopt;
      for (const auto& a : actions) {
        out.push_back({Device::keyboard, EV_KEY, a.evdevCode, a.down ? 1 : 0});
        syn(out, Device::keyboard);
      }
      return out;
    }
    default:
      return std::nullopt;
  }
}

std::vector<UinputEventPlanner::Write> UinputEventPlanner::releaseEverything() {
  std::vector<Write> out;
  setTool(out, 0);
  if (!out.empty()) syn(out, Device::tablet);
  bool pointer = false;
  if (left_) {
    out.push_back({Device::pointer, EV_KEY, BTN_LEFT, 0});
    left_ = false;
    pointer = true;
  }
  if (right_) {
    out.push_back({Device::pointer, EV_KEY, BTN_RIGHT, 0});
    right_ = false;
    pointer = true;
  }
  if (pointer) syn(out, Device::pointer);
  for (const auto& a : keys_.releaseEverything()) {
    out.push_back({Device::keyboard, EV_KEY, a.evdevCode, 0});
    syn(out, Device::keyboard);
  }
  return out;
}

}  // namespace lumenrail

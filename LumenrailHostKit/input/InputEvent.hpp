#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "input/Geometry.hpp"

namespace lumenrail {

// One synthetic input event in the vocabulary the injectors were designed
// around: a desktop event model with numbered event types, numbered integer
// and floating-point fields and a modifier-flag mask. The injectors fill in
// these numbers; each sink translates them for its own device (uinput,
// XTest) and a recorder keeps them as they are.
struct InputEvent {
  int64_t type = 0;  // EventType
  Point location;    // global desktop points
  int64_t mouseButton = 0;  // 0 left, 1 right (mouse events)
  uint64_t flags = 0;       // ModifierFlag bits
  std::map<uint32_t, int64_t> intFields;
  std::map<uint32_t, double> doubleFields;
  // Scroll-wheel events: pixel units, wheel 1 vertical, wheel 2 horizontal.
  int32_t wheel1 = 0;
  int32_t wheel2 = 0;
  int32_t wheel3 = 0;
  // Keyboard events: the key position code (US ANSI positions, see MacKeyCodes).
  uint16_t keyCode = 0;

  std::optional<int64_t> intField(uint32_t field) const;
  std::optional<double> doubleField(uint32_t field) const;
  bool isKey() const { return type == 10 || type == 11; }
  // A proximity change or a point of the pen (not a finger's mouse event).
  bool isPen() const;

  bool operator==(const InputEvent&) const = default;
};

namespace EventType {
inline constexpr int64_t leftMouseDown = 1;
inline constexpr int64_t leftMouseUp = 2;
inline constexpr int64_t rightMouseDown = 3;
inline constexpr int64_t rightMouseUp = 4;
inline constexpr int64_t mouseMoved = 5;
inline constexpr int64_t leftMouseDragged = 6;
inline constexpr int64_t rightMouseDragged = 7;
inline constexpr int64_t keyDown = 10;
inline constexpr int64_t keyUp = 11;
inline constexpr int64_t scrollWheel = 22;
inline constexpr int64_t tabletProximity = 24;
inline constexpr int64_t gesture = 29;
}  // namespace EventType

namespace EventField {
inline constexpr uint32_t mouseClickState = 1;
inline constexpr uint32_t mousePressure = 2;       // double
inline constexpr uint32_t mouseSubtype = 7;
inline constexpr uint32_t tabletPointX = 15;
inline constexpr uint32_t tabletPointY = 16;
inline constexpr uint32_t tabletPointButtons = 18;
inline constexpr uint32_t tabletPointPressure = 19;  // double
inline constexpr uint32_t tabletTiltX = 20;          // double
inline constexpr uint32_t tabletTiltY = 21;          // double
inline constexpr uint32_t tabletRotation = 22;       // double
inline constexpr uint32_t tabletPointDeviceId = 24;
inline constexpr uint32_t proximityVendorId = 28;
inline constexpr uint32_t proximityTabletId = 29;
inline constexpr uint32_t proximityPointerId = 30;
inline constexpr uint32_t proximityDeviceId = 31;
inline constexpr uint32_t proximitySystemTabletId = 32;
inline constexpr uint32_t proximityVendorPointerType = 33;
inline constexpr uint32_t proximityPointerSerial = 34;
inline constexpr uint32_t proximityUniqueId = 35;
inline constexpr uint32_t proximityCapabilityMask = 36;
inline constexpr uint32_t proximityPointerType = 37;
inline constexpr uint32_t proximityEnter = 38;
inline constexpr uint32_t scrollIsContinuous = 88;
inline constexpr uint32_t scrollPhase = 99;
inline constexpr uint32_t gestureSubtype = 110;
inline constexpr uint32_t gestureMagnification = 113;  // double
inline constexpr uint32_t gestureRotation = 114;       // double
inline constexpr uint32_t gesturePhase = 132;
}  // namespace EventField

namespace EventValue {
inline constexpr int64_t subtypeTabletPoint = 1;
inline constexpr int64_t pointerTypePen = 1;
inline constexpr int64_t pointerTypeEraser = 3;
inline constexpr int64_t tabletDeviceId = 7629164;
inline constexpr int64_t vendorId = 2894;
inline constexpr int64_t phaseBegan = 1;
inline constexpr int64_t phaseChanged = 2;
inline constexpr int64_t phaseEnded = 4;
inline constexpr int64_t gestureMagnify = 8;
inline constexpr int64_t gestureRotate = 5;
inline constexpr uint64_t capabilityBase = 0x47;
inline constexpr uint64_t capabilityPressure = 0x400;
inline constexpr uint64_t capabilityTilt = 0x180;
inline constexpr uint64_t capabilityRotation = 0x2000;
}  // namespace EventValue

namespace ModifierFlag {
inline constexpr uint64_t capsLock = 0x10000;
inline constexpr uint64_t shift = 0x20000;
inline constexpr uint64_t control = 0x40000;    // the Super key on Linux
inline constexpr uint64_t alternate = 0x80000;  // Alt
inline constexpr uint64_t command = 0x100000;   // Control on Linux
inline constexpr uint64_t keptMask = 0x1F0000;
// Linux only: the right Alt key held as AltGr (ISO_Level3_Shift), which
// types the third level of a layout's keys.
inline constexpr uint64_t altGraph = 0x1000000;
}  // namespace ModifierFlag

}  // namespace lumenrail

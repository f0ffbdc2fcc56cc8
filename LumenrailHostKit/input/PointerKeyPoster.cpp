#include "input/PointerKeyPoster.hpp"

#include <linux/input-event-codes.h>

namespace lumenrail {

void PointerKeyPoster::keys(const std::vector<KeyStateSync::KeyAction>& actions) {
  for (const KeyStateSync::KeyAction& a : actions) key(a.evdevCode, a.down);
}

void PointerKeyPoster::releaseEverything() {
  keys(keySync_.releaseEverything());
  if (buttonDown_[0]) button(false, false);
  if (buttonDown_[1]) button(true, false);
  buttonDown_[0] = buttonDown_[1] = false;
}

bool PointerKeyPoster::scrollPixels(double up, double left, int64_t phase) {
  if (phase == EventValue::phaseBegan) {
    vertical_.reset();
    horizontal_.reset();
  }
  scroll(vertical_.add(up, kPixelsPerWheelStep), horizontal_.add(left, kPixelsPerWheelStep));
  return flush();
}

bool PointerKeyPoster::zoomSteps(int32_t steps, int64_t) {
  if (steps == 0) return true;
  const bool ctrlHeld = keySync_.modifiersDown().contains(KEY_LEFTCTRL);
  if (!ctrlHeld) key(KEY_LEFTCTRL, true);
  scroll(steps, 0);
  if (!ctrlHeld) key(KEY_LEFTCTRL, false);
  return flush();
}

bool PointerKeyPoster::translate(const InputEvent& e) {
  switch (e.type) {
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged:
      moveTo(e.location);
      return flush();
    case EventType::leftMouseDown:
    case EventType::rightMouseDown:
    case EventType::leftMouseUp:
    case EventType::rightMouseUp: {
      const bool down = e.type == EventType::leftMouseDown || e.type == EventType::rightMouseDown;
      const bool right = e.type == EventType::rightMouseDown || e.type == EventType::rightMouseUp;
      moveTo(e.location);
      button(right, down);
      buttonDown_[right ? 1 : 0] = down;
      return flush();
    }
    case EventType::tabletProximity:
      return true;  // the pointer has no proximity; tool changes need none
    case EventType::scrollWheel:
      return scrollPixels(e.wheel1, e.wheel2, e.intField(EventField::scrollPhase).value_or(EventValue::phaseChanged));
    case EventType::gesture: {
      if (e.intField(EventField::gestureSubtype).value_or(0) != EventValue::gestureMagnify) {
        if (!loggedRotate_ && log_) log_("rotate gesture dropped — there is no rotate injection on Linux");
        loggedRotate_ = true;
        return false;
      }
      const int64_t phase = e.intField(EventField::gesturePhase).value_or(EventValue::phaseChanged);
      if (phase == EventValue::phaseBegan) zoom_.reset();
      return zoomSteps(zoom_.add(e.doubleField(EventField::gestureMagnification).value_or(0), kMagnificationPerStep),
                       phase);
    }
    case EventType::keyDown:
    case EventType::keyUp: {
      const auto actions = keySync_.apply(e.keyCode, e.type == EventType::keyDown, e.flags);
      if (actions.empty()) return false;
      keys(actions);
      return flush();
    }
    default:
      return false;
  }
}

}  // namespace lumenrail

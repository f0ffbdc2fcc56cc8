#include "input/MutterInputSink.hpp"

#include <linux/input-event-codes.h>

#include <cmath>
#include <cstdlib>

#include "platform/DBusConnection.hpp"
#include "platform/MutterRemoteDesktop.hpp"

namespace lumenrail {

namespace {

// NotifyPointerAxisDiscrete's axes.
constexpr uint32_t kAxisVertical = 0;
constexpr uint32_t kAxisHorizontal = 1;

}  // namespace

MutterInputSink::MutterInputSink(std::shared_ptr<MutterRemoteDesktop> session, Point streamOrigin, Log::Sink log)
    : session_(std::move(session)), origin_(streamOrigin), log_(std::move(log)) {}

MutterInputSink::~MutterInputSink() {
  std::lock_guard guard(lock_);
  // Nothing this sink pressed stays down after it goes (the session may be gone already).
  try {
    keys(keySync_.releaseEverything());
    if (buttonDown_[0]) session_->pointerButton(BTN_LEFT, false);
    if (buttonDown_[1]) session_->pointerButton(BTN_RIGHT, false);
  } catch (const DBusError&) {
  }
}

void MutterInputSink::moveTo(Point p) {
  const double x = p.x - origin_.x;
  const double y = p.y - origin_.y;
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  session_->pointerMotionAbsolute(x, y);
}

void MutterInputSink::keys(const std::vector<KeyStateSync::KeyAction>& actions) {
  for (const KeyStateSync::KeyAction& a : actions) session_->keyboardKeycode(a.evdevCode, a.down);
}

bool MutterInputSink::post(const InputEvent& e) {
  std::lock_guard guard(lock_);
  try {
    return postLocked(e);
  } catch (const DBusError& error) {
    // The session ended or Mutter did not answer in time: the event had no effect.
    if (log_) log_(std::string("input not posted: ") + error.what());
    return false;
  }
}

bool MutterInputSink::postLocked(const InputEvent& e) {
  const auto discrete = [this](uint32_t axis, int32_t steps) {
    if (steps != 0) session_->pointerAxisDiscrete(axis, steps);
  };
  switch (e.type) {
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged:
      moveTo(e.location);
      return true;
    case EventType::leftMouseDown:
    case EventType::rightMouseDown:
    case EventType::leftMouseUp:
    case EventType::rightMouseUp: {
      const bool down = e.type == EventType::leftMouseDown || e.type == EventType::rightMouseDown;
      const bool right = e.type == EventType::rightMouseDown || e.type == EventType::rightMouseUp;
      moveTo(e.location);
      session_->pointerButton(right ? BTN_RIGHT : BTN_LEFT, down);
      buttonDown_[right ? 1 : 0] = down;
      return true;
    }
    case EventType::tabletProximity:
      return true;  // the pointer has no proximity; tool changes need none
    case EventType::scrollWheel:
      if (e.intField(EventField::scrollPhase) == EventValue::phaseBegan) {
        vertical_.reset();
        horizontal_.reset();
      }
      // Positive wheel 1 scrolls up and positive wheel 2 left; Mutter's positive steps go down and right.
      discrete(kAxisVertical, -vertical_.add(e.wheel1, kPixelsPerWheelStep));
      discrete(kAxisHorizontal, -horizontal_.add(e.wheel2, kPixelsPerWheelStep));
      return true;
    case EventType::gesture: {
      if (e.intField(EventField::gestureSubtype).value_or(0) != EventValue::gestureMagnify) {
        if (!loggedRotate_ && log_) log_("rotate gesture dropped \u2014 there is no rotate injection on Linux");
        loggedRotate_ = true;
        return false;
      }
      if (e.intField(EventField::gesturePhase) == EventValue::phaseBegan) zoom_.reset();
      const int32_t steps = zoom_.add(e.doubleField(EventField::gestureMagnification).value_or(0), kMagnificationPerStep);
      if (steps == 0) return true;
      const bool ctrlHeld = keySync_.modifiersDown().contains(KEY_LEFTCTRL);
      if (!ctrlHeld) session_->keyboardKeycode(KEY_LEFTCTRL, true);
      discrete(kAxisVertical, -steps);
      if (!ctrlHeld) session_->keyboardKeycode(KEY_LEFTCTRL, false);
      return true;
    }
    case EventType::keyDown:
    case EventType::keyUp: {
      const auto actions = keySync_.apply(e.keyCode, e.type == EventType::keyDown, e.flags);
      if (actions.empty()) return false;
      keys(actions);
      return true;
    }
    default:
      return false;
  }
}

uint64_t MutterInputSink::modifierFlags() {
  std::lock_guard guard(lock_);
  uint64_t flags = 0;
  for (uint16_t key : keySync_.modifiersDown()) {
    switch (key) {
      case KEY_LEFTSHIFT:
      case KEY_RIGHTSHIFT:
        flags |= ModifierFlag::shift;
        break;
      case KEY_LEFTCTRL:
      case KEY_RIGHTCTRL:
        flags |= ModifierFlag::command;
        break;
      case KEY_LEFTALT:
      case KEY_RIGHTALT:
        flags |= ModifierFlag::alternate;
        break;
      case KEY_LEFTMETA:
      case KEY_RIGHTMETA:
        flags |= ModifierFlag::control;
        break;
      default:
        break;
    }
  }
  return flags;
}

}  // namespace lumenrail

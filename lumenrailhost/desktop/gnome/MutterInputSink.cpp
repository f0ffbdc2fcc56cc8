#include "desktop/gnome/MutterInputSink.hpp"

#include <linux/input-event-codes.h>

#include <cmath>
#include <cstdlib>

#include "desktop/gnome/MutterRemoteDesktop.hpp"
#include "platform/DBusConnection.hpp"

namespace lumenrail {

namespace {

// NotifyPointerAxisDiscrete's axes.
constexpr uint32_t kAxisVertical = 0;
constexpr uint32_t kAxisHorizontal = 1;
// NotifyPointerAxis's flags.
constexpr uint32_t kAxisFinish = 1;
constexpr uint32_t kAxisSourceFinger = 4;
// Mutter's smooth axis units per host pixel: one wheel step's worth of
// finger travel scrolls as far as a wheel step (Mutter's step is 10 units).
constexpr double kAxisUnitsPerPixel = 10.0 / kPixelsPerWheelStep;

}  // namespace

MutterInputSink::MutterInputSink(std::shared_ptr<MutterRemoteDesktop> session, Point streamOrigin, Log::Sink log)
    : PointerKeyPoster(std::move(log)), session_(std::move(session)), origin_(streamOrigin) {}

MutterInputSink::~MutterInputSink() {
  std::lock_guard guard(lock_);
  // Nothing this sink pressed stays down after it goes (the session may be gone already).
  try {
    releasePinchControl();
    releaseEverything();
  } catch (const DBusError&) {
  }
}

void MutterInputSink::moveTo(Point p) {
  const double x = p.x - origin_.x;
  const double y = p.y - origin_.y;
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  session_->pointerMotionAbsolute(x, y);
}

void MutterInputSink::button(bool right, bool down) { session_->pointerButton(right ? BTN_RIGHT : BTN_LEFT, down); }

// Mutter's positive steps go down and right.
void MutterInputSink::scroll(int32_t up, int32_t left) {
  if (up != 0) session_->pointerAxisDiscrete(kAxisVertical, -up);
  if (left != 0) session_->pointerAxisDiscrete(kAxisHorizontal, -left);
}

void MutterInputSink::key(uint16_t evdevCode, bool down) { session_->keyboardKeycode(evdevCode, down); }

// Finger scrolling as the finger moves, and the finish Mutter's API takes
// for a finger's lift (Mutter 43 passes no stop on to applications yet).
bool MutterInputSink::scrollPixels(double up, double left, int64_t phase) {
  const double dx = -left * kAxisUnitsPerPixel;
  const double dy = -up * kAxisUnitsPerPixel;
  if (!std::isfinite(dx) || !std::isfinite(dy)) return false;
  if (dx != 0 || dy != 0) session_->pointerAxis(dx, dy, kAxisSourceFinger);
  if (phase == EventValue::phaseEnded) session_->pointerAxis(0, 0, kAxisSourceFinger | kAxisFinish);
  return true;
}

// One Control press per pinch: a press and release around every step would
// be a Control tap per step to the desktop and two more round trips each.
bool MutterInputSink::zoomSteps(int32_t steps, int64_t phase) {
  if (phase == EventValue::phaseBegan) releasePinchControl();
  if (steps != 0) {
    if (!pinchControl_ && !keySync_.modifiersDown().contains(KEY_LEFTCTRL)) {
      key(KEY_LEFTCTRL, true);
      pinchControl_ = true;
    }
    scroll(steps, 0);
  }
  if (phase == EventValue::phaseEnded) releasePinchControl();
  return true;
}

void MutterInputSink::releasePinchControl() {
  if (!pinchControl_) return;
  pinchControl_ = false;
  key(KEY_LEFTCTRL, false);
}

bool MutterInputSink::post(const InputEvent& e) {
  std::lock_guard guard(lock_);
  try {
    const bool posted = translate(e);
    failing_ = false;
    return posted;
  } catch (const DBusError& error) {
    // The session ended or Mutter did not answer in time: the event had no
    // effect. Said once per run: a hung Mutter drops every pen sample.
    if (log_ && !failing_) log_(std::string("input not posted: ") + error.what());
    failing_ = true;
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

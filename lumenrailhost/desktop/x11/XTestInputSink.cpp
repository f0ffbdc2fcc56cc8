#include "desktop/x11/XTestInputSink.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>

#include "platform/CReply.hpp"

namespace lumenrail {

namespace {

constexpr uint8_t kXKeycodeOffset = 8;

int16_t coordinate(double v) {
  if (!(v == v)) return 0;
  return static_cast<int16_t>(std::clamp(std::lround(std::clamp(v, -32768.0, 32767.0)), -32768L, 32767L));
}

}  // namespace

std::shared_ptr<XTestInputSink> XTestInputSink::open(const std::string& display, Log::Sink log) {
  auto x = std::make_unique<XInputConnection>(display);
  if (!x->ok()) return nullptr;
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x->conn(), &xcb_test_id);
  if (!ext || !ext->present) return nullptr;
  if (log) log("input through XTest: pen pressure, tilt and proximity cannot travel this way (uinput not writable)");
  return std::shared_ptr<XTestInputSink>(new XTestInputSink(std::move(x), std::move(log)));
}

XTestInputSink::XTestInputSink(std::unique_ptr<XInputConnection> x, Log::Sink log)
    : PointerKeyPoster(std::move(log)), x_(std::move(x)) {}

XTestInputSink::~XTestInputSink() {
  std::lock_guard guard(lock_);
  if (!x_->ok()) return;
  // Nothing this sink pressed stays down on the server after it goes.
  releaseEverything();
  // A round trip, so the server has handled the releases before the
  // connection closes.
  ownReply(xcb_get_input_focus_reply(x_->conn(), xcb_get_input_focus(x_->conn()), nullptr));
}

void XTestInputSink::fake(uint8_t type, uint8_t detail, int x, int y) {
  xcb_test_fake_input(x_->conn(), type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? x_->root() : XCB_NONE,
                      static_cast<int16_t>(x), static_cast<int16_t>(y), 0);
}

void XTestInputSink::moveTo(Point p) { fake(XCB_MOTION_NOTIFY, 0, coordinate(p.x), coordinate(p.y)); }

void XTestInputSink::button(bool right, bool down) {
  fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, right ? 3 : 1);
}

void XTestInputSink::wheel(int32_t steps, uint8_t positiveButton, uint8_t negativeButton) {
  const uint8_t button = steps > 0 ? positiveButton : negativeButton;
  for (int32_t i = 0; i < std::abs(steps); ++i) {
    fake(XCB_BUTTON_PRESS, button);
    fake(XCB_BUTTON_RELEASE, button);
  }
}

// Buttons 4 and 5 scroll up and down, 6 and 7 left and right.
void XTestInputSink::scroll(int32_t up, int32_t left) {
  wheel(up, 4, 5);
  wheel(left, 6, 7);
}

void XTestInputSink::key(uint16_t evdevCode, bool down) {
  fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, static_cast<uint8_t>(evdevCode + kXKeycodeOffset));
}

bool XTestInputSink::flush() { return xcb_flush(x_->conn()) > 0 && !xcb_connection_has_error(x_->conn()); }

bool XTestInputSink::post(const InputEvent& e) {
  std::lock_guard guard(lock_);
  if (!x_->ok()) return false;
  return translate(e);
}

uint64_t XTestInputSink::modifierFlags() {
  std::lock_guard guard(lock_);
  if (!x_->ok()) return 0;
  const auto reply = ownReply(xcb_query_pointer_reply(x_->conn(), xcb_query_pointer(x_->conn(), x_->root()), nullptr));
  if (!reply) return 0;
  const uint16_t mask = reply->mask;
  uint64_t flags = 0;
  if (mask & XCB_MOD_MASK_LOCK) flags |= ModifierFlag::capsLock;
  if (mask & XCB_MOD_MASK_SHIFT) flags |= ModifierFlag::shift;
  if (mask & XCB_MOD_MASK_CONTROL) flags |= ModifierFlag::command;
  if (mask & XCB_MOD_MASK_1) flags |= ModifierFlag::alternate;
  if (mask & XCB_MOD_MASK_4) flags |= ModifierFlag::control;
  return flags;
}

}  // namespace lumenrail

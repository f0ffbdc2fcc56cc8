// Input through a Mutter remote-desktop session reaches a window of the
// test's own on the streamed virtual monitor at the coordinates meant, and a
// session whose Mutter died makes posting fail instead of hanging; the first
// tap and the first chord of a new session land; a pan scrolls smoothly and a
// pinch holds Control once.
#include "desktop/gnome/MutterInputSink.hpp"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <string>
#include <vector>

#include "desktop/gnome/MutterCaptureSource.hpp"
#include "desktop/gnome/MutterRemoteDesktop.hpp"
#include "platform/DBusConnection.hpp"
#include "support/HeadlessMutter.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

InputEvent mouse(int64_t type, double x, double y) {
  InputEvent e;
  e.type = type;
  e.location = {x, y};
  return e;
}

InputEvent key(bool down, uint16_t macKeyCode) {
  InputEvent e;
  e.type = down ? EventType::keyDown : EventType::keyUp;
  e.keyCode = macKeyCode;
  return e;
}

InputEvent scroll(int32_t up, int64_t phase) {
  InputEvent e;
  e.type = EventType::scrollWheel;
  e.wheel1 = up;
  e.intFields[EventField::scrollPhase] = phase;
  return e;
}

InputEvent magnify(double delta, int64_t phase) {
  InputEvent e;
  e.type = EventType::gesture;
  e.intFields[EventField::gestureSubtype] = EventValue::gestureMagnify;
  e.intFields[EventField::gesturePhase] = phase;
  e.doubleFields[EventField::gestureMagnification] = delta;
  return e;
}

MutterCaptureSource::Config virtualMonitor(const test::HeadlessMutter& desktop) {
  MutterCaptureSource::Config config;
  config.width = 1280;
  config.height = 720;
  config.fps = 30;
  config.virtualMonitor = true;
  config.pixelFormat = PixelFormat::bgra;
  config.busAddress = desktop.busAddress();
  config.pipewireRemote = desktop.pipewireRemote();
  return config;
}

// A window of the test's own filling the streamed virtual monitor. Mutter zooms
// a new window in, and input lands in its final coordinates only once that
// animation is over: set-up waits for a frame green at both corners.
class MutterInputIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
    source.emplace(virtualMonitor(desktop));
    source->onFrame = [this](const PixelBufferRef& frame, uint64_t) {
      const auto green = [&](int64_t x, int64_t y) {
        const uint8_t* p = frame->planeData(0) + y * frame->bytesPerRow(0) + x * 4;
        return p[0] == 0x40 && p[1] == 0xc0 && p[2] == 0x20;
      };
      if (green(0, 0) && green(frame->width() - 1, frame->height() - 1)) filled.add();
    };
    source->start();
    client.emplace(desktop, 0x20c040, 1920);
    ASSERT_EQ(client->waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();
    ASSERT_TRUE(filled.waitFor(1)) << desktop.logs();
  }

  test::HeadlessMutter desktop;
  test::EventCounter filled;
  std::optional<MutterCaptureSource> source;
  std::optional<test::WaylandColourClient> client;
};

TEST_F(MutterInputIntegration, PointerAndKeysReachTheWindowOnTheStreamedMonitor) {
  // The virtual monitor lies right of the 1920-wide one: global x 1920 is its left edge.
  MutterInputSink sink(source->session(), {1920, 0});
  ASSERT_TRUE(sink.post(mouse(EventType::mouseMoved, 1920 + 100, 50)));
  const std::string entered = client->waitForLine("pointer enter", test::kDeadlineNs);
  EXPECT_EQ(entered, "pointer enter 100.00 50.00") << desktop.logs();
  ASSERT_TRUE(sink.post(mouse(EventType::leftMouseDown, 1920 + 640.5, 360.25)));
  ASSERT_TRUE(sink.post(mouse(EventType::leftMouseUp, 1920 + 640.5, 360.25)));
  EXPECT_EQ(client->waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 pressed");
  // The last position the window saw before the press is the one meant.
  std::string lastPosition;
  for (const auto& line : client->seen()) {
    if (line.rfind("pointer button", 0) == 0) break;
    if (line.rfind("pointer motion", 0) == 0 || line.rfind("pointer enter", 0) == 0) lastPosition = line;
  }
  EXPECT_NE(lastPosition.find(" 640.50 360.25"), std::string::npos) << lastPosition;
  EXPECT_EQ(client->waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 released");

  // The session made its keyboard at start: the window bound it with the pointer.
  const auto& seen = client->seen();
  if (std::find(seen.begin(), seen.end(), "keyboard enter") == seen.end()) {
    ASSERT_EQ(client->waitForLine("keyboard enter", test::kDeadlineNs), "keyboard enter");
  }
  // Mac key position 0 is the A key, evdev 30.
  ASSERT_TRUE(sink.post(key(true, 0)));
  ASSERT_TRUE(sink.post(key(false, 0)));
  EXPECT_EQ(client->waitForLine("key 30 ", test::kDeadlineNs), "key 30 pressed");
  EXPECT_EQ(client->waitForLine("key 30 ", test::kDeadlineNs), "key 30 released");

  // Touch, on the session directly: the same holds for the seat's touch device.
  source->session()->touchDown(0, 10, 10);
  source->session()->touchUp(0);
  ASSERT_EQ(client->waitForLine("seat touch", test::kDeadlineNs), "seat touch");
  source->session()->touchDown(1, 300, 200);
  source->session()->touchUp(1);
  // The first touch reaches the window too when it bound the touch device quickly enough.
  std::string touched = client->waitForLine("touch down", test::kDeadlineNs);
  if (touched.find(" 10.00 10.00") != std::string::npos) touched = client->waitForLine("touch down", test::kDeadlineNs);
  EXPECT_NE(touched.find(" 300.00 200.00"), std::string::npos) << touched;

  // Mutter gone: posting reports failure at once, nothing hangs.
  desktop.killMutter();
  EXPECT_FALSE(sink.post(mouse(EventType::mouseMoved, 1920 + 10, 10)));
}

// Mutter makes a virtual device with its first event and loses that event;
// the session made them at its start, so a tap with no hover before it and
// a chord as the first keys reach the window.
TEST_F(MutterInputIntegration, TheFirstTapAndTheFirstChordOfANewSessionLand) {
  auto session = source->session();
  session->pointerMotionAbsolute(300, 200);
  session->pointerButton(BTN_LEFT, true);
  session->pointerButton(BTN_LEFT, false);
  EXPECT_EQ(client->waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 pressed") << desktop.logs();
  session->keyboardKeycode(KEY_LEFTCTRL, true);
  session->keyboardKeycode(KEY_A, true);
  session->keyboardKeycode(KEY_A, false);
  session->keyboardKeycode(KEY_LEFTCTRL, false);
  EXPECT_EQ(client->waitForLine("key ", test::kDeadlineNs), "key 29 pressed");
  EXPECT_EQ(client->waitForLine("key ", test::kDeadlineNs), "key 30 pressed");
}

// A pan scrolls smoothly as a finger; a pinch holds Control once around all
// of its wheel steps.
TEST_F(MutterInputIntegration, PanScrollsSmoothlyAndPinchHoldsControlOnce) {
  MutterInputSink sink(source->session(), {1920, 0});
  ASSERT_TRUE(sink.post(mouse(EventType::mouseMoved, 1920 + 300, 200)));
  ASSERT_FALSE(client->waitForLine("pointer enter", test::kDeadlineNs).empty()) << desktop.logs();

  // 15 px of finger travel upward: half a wheel step's worth, scrolled down as a finger.
  for (const InputEvent& e : {scroll(0, EventValue::phaseBegan), scroll(-12, EventValue::phaseChanged),
                              scroll(-3, EventValue::phaseChanged), scroll(0, EventValue::phaseEnded),
                              magnify(0, EventValue::phaseBegan), magnify(0.25, EventValue::phaseChanged),
                              magnify(0.1, EventValue::phaseChanged), magnify(0, EventValue::phaseEnded)}) {
    ASSERT_TRUE(sink.post(e));
  }
  ASSERT_EQ(client->waitForLine("key 29 released", test::kDeadlineNs), "key 29 released") << desktop.logs();

  double smooth = 0;
  int discrete = 0;
  std::vector<std::string> order;  // the sources, steps and Control, as they came
  for (const std::string& line : client->seen()) {
    double value = 0;
    int steps = 0;
    unsigned axis = 0;
    if (std::sscanf(line.c_str(), "pointer axis discrete %u %d", &axis, &steps) == 2) {
      discrete += steps;
      order.push_back("discrete");
    } else if (std::sscanf(line.c_str(), "pointer axis %u %lf", &axis, &value) == 2) {
      if (order.empty() || order.back() != "discrete") smooth += value;  // a step's own axis value is not smooth
    } else if (line.rfind("pointer axis source", 0) == 0 || line.rfind("key 29", 0) == 0) {
      if (order.empty() || order.back() != line) order.push_back(line);
    }
  }
  EXPECT_NEAR(smooth, 5.0, 0.1);  // a wheel step is 10 units
  EXPECT_EQ(discrete, -3);        // zooming in: three steps up
  // Finger scrolling, then Control pressed once around the pinch's wheel steps.
  // Mutter posts each wheel step on its own.
  std::vector<std::string> expected = {"pointer axis source 1", "key 29 pressed"};
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), {"pointer axis source 0", "discrete"});
  expected.push_back("key 29 released");
  EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace lumenrail

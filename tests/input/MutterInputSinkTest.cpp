// Input through a Mutter remote-desktop session reaches a window of the
// test's own on the streamed virtual monitor at the coordinates meant, and a
// session whose Mutter died makes posting fail instead of hanging; the first
// tap and the first chord of a new session land.
#include "input/MutterInputSink.hpp"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>

#include "media/MutterCaptureSource.hpp"
#include "platform/DBusConnection.hpp"
#include "platform/MutterRemoteDesktop.hpp"
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

TEST(MutterInputIntegration, PointerAndKeysReachTheWindowOnTheStreamedMonitor) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  MutterCaptureSource source(virtualMonitor(desktop));
  // Whether the window covers the monitor's corners: Mutter zooms a new window in, and
  // input lands in its final coordinates only once that animation is over.
  test::EventCounter filled;
  source.onFrame = [&](const PixelBufferRef& frame, uint64_t) {
    const auto green = [&](int64_t x, int64_t y) {
      const uint8_t* p = frame->planeData(0) + y * frame->bytesPerRow(0) + x * 4;
      return p[0] == 0x40 && p[1] == 0xc0 && p[2] == 0x20;
    };
    if (green(0, 0) && green(frame->width() - 1, frame->height() - 1)) filled.add();
  };
  source.start();
  test::WaylandColourClient client(desktop, 0x20c040, 1920);
  ASSERT_EQ(client.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();
  ASSERT_TRUE(filled.waitFor(1)) << desktop.logs();

  // The virtual monitor lies right of the 1920-wide one: global x 1920 is its left edge.
  MutterInputSink sink(source.session(), {1920, 0});
  ASSERT_TRUE(sink.post(mouse(EventType::mouseMoved, 1920 + 100, 50)));
  const std::string entered = client.waitForLine("pointer enter", test::kDeadlineNs);
  EXPECT_EQ(entered, "pointer enter 100.00 50.00") << desktop.logs();
  ASSERT_TRUE(sink.post(mouse(EventType::leftMouseDown, 1920 + 640.5, 360.25)));
  ASSERT_TRUE(sink.post(mouse(EventType::leftMouseUp, 1920 + 640.5, 360.25)));
  EXPECT_EQ(client.waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 pressed");
  // The last position the window saw before the press is the one meant.
  std::string lastPosition;
  for (const auto& line : client.seen()) {
    if (line.rfind("pointer button", 0) == 0) break;
    if (line.rfind("pointer motion", 0) == 0 || line.rfind("pointer enter", 0) == 0) lastPosition = line;
  }
  EXPECT_NE(lastPosition.find(" 640.50 360.25"), std::string::npos) << lastPosition;
  EXPECT_EQ(client.waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 released");

  // The session made its keyboard at start: the window bound it with the pointer.
  const auto& seen = client.seen();
  if (std::find(seen.begin(), seen.end(), "keyboard enter") == seen.end()) {
    ASSERT_EQ(client.waitForLine("keyboard enter", test::kDeadlineNs), "keyboard enter");
  }
  // Mac key position 0 is the A key, evdev 30.
  ASSERT_TRUE(sink.post(key(true, 0)));
  ASSERT_TRUE(sink.post(key(false, 0)));
  EXPECT_EQ(client.waitForLine("key 30 ", test::kDeadlineNs), "key 30 pressed");
  EXPECT_EQ(client.waitForLine("key 30 ", test::kDeadlineNs), "key 30 released");

  // Touch, on the session directly: the same holds for the seat's touch device.
  source.session()->touchDown(0, 10, 10);
  source.session()->touchUp(0);
  ASSERT_EQ(client.waitForLine("seat touch", test::kDeadlineNs), "seat touch");
  source.session()->touchDown(1, 300, 200);
  source.session()->touchUp(1);
  // The first touch reaches the window too when it bound the touch device quickly enough.
  std::string touched = client.waitForLine("touch down", test::kDeadlineNs);
  if (touched.find(" 10.00 10.00") != std::string::npos) touched = client.waitForLine("touch down", test::kDeadlineNs);
  EXPECT_NE(touched.find(" 300.00 200.00"), std::string::npos) << touched;

  // Mutter gone: posting reports failure at once, nothing hangs.
  desktop.killMutter();
  EXPECT_FALSE(sink.post(mouse(EventType::mouseMoved, 1920 + 10, 10)));
}

// Mutter makes a virtual device with its first event and loses that event;
// the session made them at its start, so a tap with no hover before it and
// a chord as the first keys reach the window.
TEST(MutterInputIntegration, TheFirstTapAndTheFirstChordOfANewSessionLand) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  MutterCaptureSource source(virtualMonitor(desktop));
  source.start();
  test::WaylandColourClient client(desktop, 0x20c040, 1920);
  ASSERT_EQ(client.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();

  auto session = source.session();
  session->pointerMotionAbsolute(300, 200);
  session->pointerButton(BTN_LEFT, true);
  session->pointerButton(BTN_LEFT, false);
  EXPECT_EQ(client.waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 pressed") << desktop.logs();
  session->keyboardKeycode(KEY_LEFTCTRL, true);
  session->keyboardKeycode(KEY_A, true);
  session->keyboardKeycode(KEY_A, false);
  session->keyboardKeycode(KEY_LEFTCTRL, false);
  EXPECT_EQ(client.waitForLine("key ", test::kDeadlineNs), "key 29 pressed");
  EXPECT_EQ(client.waitForLine("key ", test::kDeadlineNs), "key 30 pressed");
}

}  // namespace
}  // namespace lumenrail

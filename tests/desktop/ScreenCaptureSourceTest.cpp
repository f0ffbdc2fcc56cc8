#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/x11/ScreenCaptureSource.hpp"
#include "platform/CReply.hpp"
#include "platform/X11Display.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/EventLog.hpp"
#include "support/RootPainter.hpp"
#include "support/TestPictures.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

using test::isUniformBgra;
using test::isUniformNv12;
using test::kBlueFull;
using test::kGreenFull;
using test::kRedFull;

TEST(ScreenCaptureSource, ErrorsAndScreenshotsBeforeAnyStart) {
  EXPECT_STREQ(ScreenCaptureSource::CaptureError(ScreenCaptureSource::CaptureErrorKind::displayNotFound, 7).what(),
               "displayNotFound(7)");
  EXPECT_STREQ(ScreenCaptureSource::CaptureError(ScreenCaptureSource::CaptureErrorKind::noDisplays).what(),
               "noDisplays");

  ScreenCaptureSource source({.width = 64, .height = 64, .fps = 30, .xDisplay = ":65000"});
  EXPECT_FALSE(source.captureOneShot());
  EXPECT_FALSE(source.probeContentHash());
  try {
    source.start();
    FAIL() << "started on a display that does not exist";
  } catch (const X11Error& e) {
    EXPECT_EQ(e.kind, X11ErrorKind::connectFailed);
    EXPECT_STREQ(e.what(), "connectFailed(\":65000\")");
  }

  ScreenCaptureSource empty({.width = 0, .height = 64, .fps = 30, .xDisplay = ":65000"});
  try {
    empty.start();
    FAIL() << "started with no width";
  } catch (const ScreenCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind, ScreenCaptureSource::CaptureErrorKind::badSize);
    EXPECT_STREQ(e.what(), "badSize(0, 64)");
  }
  source.stop();  // harmless without a capture
}

TEST(X11CursorBlend, PremultipliedCursorOverThePictureIsClippedToIt) {
  std::vector<uint8_t> pixels(4 * 3 * 4, 0xff);  // 4x3 white
  X11Image image{pixels.data(), 16, 4, 3};
  X11CursorImage cursor;
  // 2x2 cursor whose hot spot (1,1) sits at root (11, 20); the picture shows root from (10, 20).
  cursor.x = 11;
  cursor.y = 20;
  cursor.xhot = 1;
  cursor.yhot = 1;
  cursor.width = 2;
  cursor.height = 2;
  cursor.argb = {0xff000000, 0x80000080, 0x00000000, 0xffff0000};
  blendCursor(image, 10, 20, cursor);
  auto px = [&](int x, int y) {
    const uint8_t* p = &pixels[size_t(y) * 16 + size_t(x) * 4];
    return std::vector<int>{p[0], p[1], p[2]};
  };
  // Row -1 is off the picture; row 0 holds the cursor's second row: transparent, then opaque red.
  EXPECT_EQ(px(0, 0), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(px(1, 0), (std::vector<int>{0, 0, 255}));
  EXPECT_EQ(px(2, 0), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(px(1, 1), (std::vector<int>{255, 255, 255}));
}

// Keeps the newest frame only, so the capture's pool never runs dry.
class FrameSink {
 public:
  void add(const PixelBufferRef& b, uint64_t t) {
    std::lock_guard guard(mutex_);
    latest_ = b;
    latestNs_ = t;
    ++count_;
    cv_.notify_all();
  }
  bool waitFor(const std::function<bool(const PixelBuffer&)>& wanted) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::nanoseconds(test::kDeadlineNs),
                        [&] { return latest_ && wanted(*latest_); });
  }
  int count() const {
    std::lock_guard guard(mutex_);
    return count_;
  }
  PixelBufferRef latest() const {
    std::lock_guard guard(mutex_);
    return latest_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  PixelBufferRef latest_;
  uint64_t latestNs_ = 0;
  int count_ = 0;
};

class ScreenCaptureIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!x.running()) GTEST_SKIP() << x.whyNot();
    painter = std::make_unique<test::RootPainter>(x.display());
    ASSERT_TRUE(painter->ok());
  }
  ScreenCaptureSource::Config config(PixelFormat format, int64_t w = 320, int64_t h = 240) {
    return {.width = w, .height = h, .fps = 60, .showsCursor = false, .pixelFormat = format, .xDisplay = x.display()};
  }
  test::PrivateXServer x{{320, 240, 24}};
  std::unique_ptr<test::RootPainter> painter;
};

TEST_F(ScreenCaptureIntegration, GrabsOncePerChangeAndNotOnAStillScreen) {
  painter->fill(0xff0000);
  FrameSink sink;
  std::atomic<bool> stopped{false};
  auto cfg = config(PixelFormat::nv12FullRange);
  cfg.aliveCheckNs = 2 * kNsPerMs;
  ScreenCaptureSource source(cfg);
  source.onFrame = [&](const PixelBufferRef& b, uint64_t t) {
    if (stopped) ADD_FAILURE() << "frame after stop";
    sink.add(b, t);
  };
  // Still: alive checks go on being counted while no frame comes.
  const auto stillFrames = [&] {
    const uint64_t deliveries = source.deliveryCount();
    EXPECT_TRUE(test::eventually([&] { return source.deliveryCount() >= deliveries + 5; }));
    return sink.count();
  };
  source.start();
  ASSERT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformNv12(b, kRedFull)); }))
      << isUniformNv12(*sink.latest(), kRedFull);
  EXPECT_EQ(sink.latest()->width(), 320);
  EXPECT_EQ(stillFrames(), 1);
  EXPECT_GT(source.lastDeliveryNs(), 0u);

  painter->fill(0x0000ff);
  EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformNv12(b, kBlueFull)); }));
  EXPECT_EQ(stillFrames(), 2);
  painter->fillRect(0x00ff00, 0, 0, 320, 240);
  EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformNv12(b, kGreenFull)); }));
  EXPECT_EQ(stillFrames(), 3);

  source.stop();
  stopped = true;
  painter->fill(0xff0000);
  EXPECT_EQ(source.copyDropCount(), 0u);
}

// Whether a box of the picture around (x, y) holds anything but white.
bool marked(const PixelBuffer& b, int64_t x, int64_t y) {
  for (int64_t row = std::max<int64_t>(0, y - 24); row < std::min<int64_t>(b.height(), y + 24); ++row) {
    for (int64_t col = std::max<int64_t>(0, x - 24); col < std::min<int64_t>(b.width(), x + 24); ++col) {
      const uint8_t* p = b.planeData(0) + row * b.bytesPerRow(0) + col * 4;
      if (p[0] != 255 || p[1] != 255 || p[2] != 255) return true;
    }
  }
  return false;
}

TEST_F(ScreenCaptureIntegration, PointerMotionOnAStillScreenBringsOneFrameWithTheCursorMoved) {
  painter->fill(0xffffff);
  xcb_connection_t* pointer = X11Connections::connect(x.display(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(pointer)).data->root;
  const auto moveTo = [&](int16_t px, int16_t py) {
    xcb_test_fake_input(pointer, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, px, py, 0);
    ownReply(xcb_get_input_focus_reply(pointer, xcb_get_input_focus(pointer), nullptr));
  };
  moveTo(250, 180);
  FrameSink sink;
  auto cfg = config(PixelFormat::bgra);
  cfg.showsCursor = true;
  cfg.aliveCheckNs = 2 * kNsPerMs;
  ScreenCaptureSource source(cfg);
  source.onFrame = [&](const PixelBufferRef& b, uint64_t t) { sink.add(b, t); };
  source.start();
  ASSERT_TRUE(sink.waitFor([](const PixelBuffer& b) { return marked(b, 250, 180); }));

  moveTo(40, 40);
  EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return marked(b, 40, 40) && !marked(b, 250, 180); }));
  const int frames = sink.count();
  const uint64_t deliveries = source.deliveryCount();
  ASSERT_TRUE(test::eventually([&] { return source.deliveryCount() >= deliveries + 5; }));
  EXPECT_EQ(sink.count(), frames);
  source.stop();
  X11Connections::disconnect(pointer);
}

TEST_F(ScreenCaptureIntegration, BgraFramesAndScaledOneShotsCarryTheScreen) {
  painter->fill(0xff0000);
  FrameSink sink;
  ScreenCaptureSource source(config(PixelFormat::bgra));
  source.onFrame = [&](const PixelBufferRef& b, uint64_t t) { sink.add(b, t); };
  source.start();
  EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformBgra(b, 0, 0, 255)); }));
  source.stop();

  ScreenCaptureSource small(config(PixelFormat::nv12FullRange, 160, 120));
  small.start();
  small.stop();
  // Screenshots stay possible after stop.
  auto shot = small.captureOneShot();
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->width(), 160);
  EXPECT_EQ(shot->height(), 120);
  EXPECT_TRUE(isUniformNv12(*shot, kRedFull));
}

TEST_F(ScreenCaptureIntegration, ContentHashFollowsThePictureAndIsStableWhileStill) {
  painter->fill(0x123456);
  ScreenCaptureSource source(config(PixelFormat::nv12FullRange));
  source.start();
  const auto first = source.probeContentHash();
  ASSERT_TRUE(first);
  EXPECT_EQ(source.probeContentHash(), first);
  // FNV-1a 64 over 96x96 pixels, computed here: the 4:3 screen fitted
  // between black bars of 12 rows, B 0x56, G 0x34, R 0x12, A 0xff between.
  uint64_t expected = 0xcbf29ce484222325ull;
  for (int i = 0; i < 96 * 96; ++i) {
    const bool bar = i < 96 * 12 || i >= 96 * 84;
    for (uint8_t byte : {bar ? 0 : 0x56, bar ? 0 : 0x34, bar ? 0 : 0x12, 0xff}) {
      expected ^= byte;
      expected *= 0x100000001b3ull;
    }
  }
  EXPECT_EQ(*first, expected);
  painter->fillRect(0xffffff, 100, 100, 40, 40);
  const auto changed = source.probeContentHash();
  ASSERT_TRUE(changed);
  EXPECT_NE(*changed, *first);
  EXPECT_EQ(source.probeContentHash(), changed);
  source.stop();
}

TEST_F(ScreenCaptureIntegration, ChoosesMonitorsByIdIncludingOnesAddedLater) {
  painter->fill(0xff0000);
  ScreenCaptureSource missing({.width = 64, .height = 64, .fps = 30, .targetDisplayID = 0x7ffffff0,
                               .xDisplay = x.display()});
  try {
    missing.start();
    FAIL() << "started on a monitor that does not exist";
  } catch (const ScreenCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind, ScreenCaptureSource::CaptureErrorKind::displayNotFound);
    EXPECT_EQ(e.displayId, 0x7ffffff0u);
  }

  auto display = X11Display::open(x.display());
  const auto before = display->monitors();
  ASSERT_FALSE(before.empty());
  {
    // By the id of a listed monitor.
    FrameSink sink;
    ScreenCaptureSource byId({.width = 32, .height = 24, .fps = 30, .targetDisplayID = before.front().id,
                              .showsCursor = false, .pixelFormat = PixelFormat::bgra, .xDisplay = x.display()});
    byId.onFrame = [&](const PixelBufferRef& b, uint64_t t) { sink.add(b, t); };
    byId.start();
    EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformBgra(b, 0, 0, 255)); }));
    byId.stop();
  }

  if (!display->hasRandrMonitors()) GTEST_SKIP() << "the test server has no RandR 1.5";
  const uint32_t side = painter->addMonitor("LR-SIDE", 200, 100, 64, 48);
  ASSERT_NE(side, 0u);
  std::optional<X11Monitor> listed;
  for (const auto& m : display->monitors()) {
    if (m.id == side) listed = m;
  }
  // Xvfb keeps a monitor without outputs only now and then; Xorg always does.
  if (!listed) GTEST_SKIP() << "the test server did not keep the added monitor";
  EXPECT_EQ(*listed, (X11Monitor{side, "LR-SIDE", false, 200, 100, 64, 48}));
  painter->fillRect(0x0000ff, 200, 100, 64, 48);

  FrameSink sink;
  ScreenCaptureSource source({.width = 64, .height = 48, .fps = 30, .targetDisplayID = side, .showsCursor = false,
                              .pixelFormat = PixelFormat::bgra, .xDisplay = x.display()});
  source.onFrame = [&](const PixelBufferRef& b, uint64_t t) { sink.add(b, t); };
  source.start();
  EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformBgra(b, 255, 0, 0)); }));
  source.stop();
  ASSERT_TRUE(source.monitor());
  EXPECT_EQ(source.monitor()->id, side);
}

TEST(ScreenCaptureXorgIntegration, FollowsItsMonitorThroughLayoutChangesAndStopsWhenItGoes) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::RootPainter painter(x.display());
  painter.fillRect(0xff0000, 0, 0, 1920, 1080);
  painter.fillRect(0x0000ff, 100, 100, 64, 48);
  painter.fillRect(0x00ff00, 800, 500, 64, 48);
  const uint32_t id = painter.addMonitor("LR-FOLLOW", 100, 100, 64, 48);
  ASSERT_NE(id, 0u);

  FrameSink sink;
  test::EventLog stops;
  ScreenCaptureSource source({.width = 64, .height = 48, .fps = 60, .targetDisplayID = id, .showsCursor = false,
                              .pixelFormat = PixelFormat::bgra, .xDisplay = x.display(),
                              .aliveCheckNs = 2 * kNsPerMs});
  source.onFrame = [&](const PixelBufferRef& b, uint64_t t) { sink.add(b, t); };
  source.onStop = [&](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      stops.add(e.what());
    }
  };
  source.start();
  ASSERT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformBgra(b, 255, 0, 0)); }));

  // Changes on the rest of the screen cost no grab.
  const int frames = sink.count();
  painter.fillRect(0xffffff, 1000, 0, 200, 200);
  const uint64_t deliveries = source.deliveryCount();
  ASSERT_TRUE(test::eventually([&] { return source.deliveryCount() >= deliveries + 5; }));
  EXPECT_EQ(sink.count(), frames);

  // Moved and made primary: the capture shows where the monitor went, not what took its old place.
  ASSERT_TRUE(painter.moveMonitor(id, 800, 500, 64, 48, true));
  EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformBgra(b, 0, 255, 0)); }));
  EXPECT_EQ(source.monitor(), (X11Monitor{id, "LR-FOLLOW", true, 800, 500, 64, 48}));
  painter.fillRect(0x0000ff, 800, 500, 64, 48);
  EXPECT_TRUE(sink.waitFor([](const PixelBuffer& b) { return bool(isUniformBgra(b, 255, 0, 0)); }));

  ASSERT_TRUE(painter.deleteMonitor(id));
  EXPECT_TRUE(stops.waitFor("displayNotFound(" + std::to_string(id) + ")"));
  EXPECT_EQ(stops.lines().size(), 1u);
  source.stop();
}

}  // namespace
}  // namespace lumenrail

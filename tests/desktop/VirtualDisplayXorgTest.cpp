#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <mutex>
#include <tuple>
#include <optional>

#include "desktop/x11/ScreenCaptureSource.hpp"
#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "platform/CReply.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

void fillRoot(const std::string& display, uint32_t rgb, int16_t x, int16_t y, uint16_t w, uint16_t h) {
  xcb_connection_t* c = X11Connections::connect(display, nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const xcb_gcontext_t gc = xcb_generate_id(c);
  const uint32_t values[] = {rgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
  xcb_create_gc(c, gc, root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
  const xcb_rectangle_t r{x, y, w, h};
  xcb_poly_fill_rectangle(c, root, gc, 1, &r);
  xcb_free_gc(c, gc);
  ownReply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  X11Connections::disconnect(c);
}

struct Screen {
  std::pair<int32_t, int32_t> size;
  std::vector<X11Monitor> monitors;
  bool operator==(const Screen&) const = default;
};

Screen screenOf(const std::string& display) {
  auto d = X11Display::open(display);
  return {d->rootSize(), d->monitors()};
}

TEST(VirtualDisplayCvt, ModeLinesMatchTheStandardTimings) {
  using T = X11DisplayConfiguration::ModeTiming;
  // Reference mode lines of the coordinated video timings (normal blanking).
  const std::vector<std::pair<std::tuple<uint32_t, uint32_t, double>, T>> cases{
      {{1920, 1080, 60}, T{1920, 2048, 2248, 2576, 1080, 1083, 1088, 1120, 173'000'000}},
      {{1280, 800, 60}, T{1280, 1352, 1480, 1680, 800, 803, 809, 831, 83'500'000}},
      {{1024, 768, 60}, T{1024, 1072, 1176, 1328, 768, 771, 775, 798, 63'500'000}},
  };
  for (const auto& [in, want] : cases) {
    const auto [w, h, hz] = in;
    EXPECT_EQ(X11DisplayConfiguration::cvtMode(w, h, hz), want) << w << "x" << h << "@" << hz;
  }
  // At 240 Hz the refresh the timings give is still the one asked for.
  const T fast = X11DisplayConfiguration::cvtMode(1280, 800, 240);
  EXPECT_NEAR(double(fast.dotClockHz) / (double(fast.hTotal) * fast.vTotal), 240.0, 1.0);
}

const VirtualDisplayManager::Config kConfig{"Lumenrail Display", 1280, 800, 60, 345, 194};

TEST(VirtualDisplayXorgIntegration, CreateCaptureChangePromoteRestoreAndDestroy) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  const Screen before = screenOf(x.display());
  ASSERT_EQ(before.monitors.size(), 1u);
  const X11Monitor main = before.monitors.front();

  auto displays = X11DisplayConfiguration::open(x.display());
  test::EventLog log;
  VirtualDisplayManager vd(displays, [&](const std::string& l) { log.add(l); });
  ASSERT_TRUE(vd.create(kConfig, 2)) << (log.lines().empty() ? "" : log.lines().back());
  const uint32_t id = vd.displayID();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(displays->bounds(id), (DisplayBounds{main.width, 0, 1280, 800}));
  EXPECT_EQ(screenOf(x.display()).size, (std::pair<int32_t, int32_t>{main.width + 1280, main.height}));
  EXPECT_EQ(displays->mainDisplay(), main.id);
  // A lit output of the dummy driver, so the pointer can enter it.
  EXPECT_TRUE(displays->inputReaches(id));
  EXPECT_EQ(test::hostModeCount(x.display()), 1);

  // Captured like any other monitor, by the same id.
  fillRoot(x.display(), 0x000000, 0, 0, uint16_t(main.width + 1280), uint16_t(main.height));
  fillRoot(x.display(), 0x00ff00, int16_t(main.width), 0, 1280, 800);
  {
    ScreenCaptureSource capture({1280, 800, 30, id, false, PixelFormat::bgra, x.display()});
    std::mutex mutex;
    PixelBufferRef frame;
    capture.onFrame = [&](const PixelBufferRef& b, uint64_t) {
      std::lock_guard lock(mutex);
      if (!frame) frame = b;
    };
    capture.start();
    ASSERT_TRUE(test::eventually([&] {
      std::lock_guard lock(mutex);
      return frame != nullptr;
    }));
    capture.stop();
    ASSERT_TRUE(capture.monitor());
    EXPECT_EQ(capture.monitor()->id, id);
    for (const auto& [px, py] : {std::pair<int64_t, int64_t>{0, 0}, {1279, 799}, {640, 400}}) {
      const uint8_t* p = frame->planeData(0) + py * frame->bytesPerRow(0) + px * 4;
      EXPECT_EQ((std::vector<int>{p[0], p[1], p[2]}), (std::vector<int>{0, 255, 0})) << px << "," << py;
    }
  }

  // Not a whole number of 8-pixel cells: the mode still shows exactly that width.
  ASSERT_TRUE(vd.applyMode(1020, 768, 120));
  EXPECT_EQ(vd.displayID(), id);
  EXPECT_EQ(displays->bounds(id), (DisplayBounds{main.width, 0, 1020, 768}));
  EXPECT_EQ(displays->refreshRate(id), 120.0);
  EXPECT_EQ(screenOf(x.display()).size, (std::pair<int32_t, int32_t>{main.width + 1020, main.height}));
  EXPECT_TRUE(vd.ensureExtended());

  ASSERT_TRUE(vd.makeMain());
  EXPECT_EQ(displays->mainDisplay(), id);
  EXPECT_EQ(displays->bounds(id), (DisplayBounds{0, 0, 1020, 768}));
  EXPECT_EQ(displays->bounds(main.id), (DisplayBounds{1020, 0, main.width, main.height}));
  ASSERT_TRUE(vd.restoreMain());
  EXPECT_EQ(displays->mainDisplay(), main.id);
  EXPECT_EQ(displays->bounds(main.id), (DisplayBounds{0, 0, main.width, main.height}));
  EXPECT_EQ(displays->bounds(id), (DisplayBounds{main.width, 0, 1020, 768}));

  ASSERT_TRUE(vd.makeMain());
  vd.destroy();  // restores first
  EXPECT_EQ(vd.displayID(), 0u);
  EXPECT_EQ(screenOf(x.display()), before);
  EXPECT_EQ(test::hostModeCount(x.display()), 0);
  EXPECT_TRUE(log.lines().empty());
}

TEST(VirtualDisplayXorgIntegration, SecondHostIsRefusedAndSignalCleanupRemovesEverything) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  const Screen before = screenOf(x.display());
  test::EventLog log;
  auto sink = [&](const std::string& l) { log.add(l); };
  VirtualDisplayManager first(X11DisplayConfiguration::open(x.display()), sink);
  VirtualDisplayManager second(X11DisplayConfiguration::open(x.display()), sink, [](uint64_t) {});
  ASSERT_TRUE(first.create(kConfig));
  EXPECT_FALSE(second.create(kConfig, 2));
  EXPECT_EQ(log.count("refused the virtual display (id 0)"), 2);
  EXPECT_EQ(second.displayID(), 0u);
  ASSERT_TRUE(second.create({"Lumenrail Display 2", 800, 600, 60, 200, 150}));
  EXPECT_EQ(screenOf(x.display()).monitors.size(), 3u);

  VirtualDisplayManager::removeAllAdded();
  EXPECT_EQ(screenOf(x.display()), before);
  EXPECT_EQ(test::hostModeCount(x.display()), 0);
}

TEST(VirtualDisplayXorgIntegration, WithEveryOutputTakenTheDisplayIsAMonitorOnlyAndSaysInputCannotReachIt) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  const Screen before = screenOf(x.display());
  auto displays = X11DisplayConfiguration::open(x.display());
  test::EventLog log;
  std::vector<std::unique_ptr<VirtualDisplayManager>> made;
  // The dummy driver has 16 outputs, one of them lit for the main display.
  for (int i = 0; i < 16; ++i) {
    made.push_back(std::make_unique<VirtualDisplayManager>(displays, [&](const std::string& l) { log.add(l); }));
    ASSERT_TRUE(made.back()->create({"Lumenrail Display " + std::to_string(i), 320, 240, 60, 85, 64})) << i;
    EXPECT_EQ(displays->inputReaches(made.back()->displayID()), i < 15) << i;
  }
  EXPECT_EQ(log.count("[vd] WARN: no free output for the virtual display"), 1);
  EXPECT_TRUE(log.contains("the pointer and injected input cannot reach it"));
  EXPECT_EQ(screenOf(x.display()).size.first, before.size.first + 16 * 320);
  VirtualDisplayManager::removeAllAdded();
  EXPECT_EQ(screenOf(x.display()), before);
  EXPECT_EQ(test::hostModeCount(x.display()), 0);
}

TEST(VirtualDisplayXvfbIntegration, AScreenThatCannotGrowRefusesCreationAndStaysAsItWas) {
  test::PrivateXServer x{{640, 480, 24}};
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  const Screen before = screenOf(x.display());
  test::EventLog log;
  std::vector<uint64_t> sleeps;
  VirtualDisplayManager vd(X11DisplayConfiguration::open(x.display()), [&](const std::string& l) { log.add(l); },
                           [&](uint64_t ns) { sleeps.push_back(ns); });
  EXPECT_FALSE(vd.create(kConfig, 4));
  EXPECT_EQ(vd.displayID(), 0u);
  // A refusal for good: no retries.
  EXPECT_TRUE(sleeps.empty());
  EXPECT_EQ(log.count("[vd] virtual display not created: the X screen cannot grow"), 1);
  EXPECT_TRUE(vd.displays().lastAddRefusedForGood());
  EXPECT_EQ(screenOf(x.display()), before);
}

}  // namespace
}  // namespace lumenrail

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <mutex>
#include <optional>

#include "media/ScreenCaptureSource.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "platform/X11DisplayConfiguration.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

void fillRoot(const std::string& display, uint32_t rgb, int16_t x, int16_t y, uint16_t w, uint16_t h) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const xcb_gcontext_t gc = xcb_generate_id(c);
  const uint32_t values[] = {rgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
  xcb_create_gc(c, gc, root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
  const xcb_rectangle_t r{x, y, w, h};
  xcb_poly_fill_rectangle(c, root, gc, 1, &r);
  xcb_free_gc(c, gc);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  xcb_disconnect(c);
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

  ASSERT_TRUE(vd.applyMode(1024, 768, 120));
  EXPECT_EQ(vd.displayID(), id);
  EXPECT_EQ(displays->bounds(id), (DisplayBounds{main.width, 0, 1024, 768}));
  EXPECT_EQ(displays->refreshRate(id), 120.0);
  EXPECT_EQ(screenOf(x.display()).size, (std::pair<int32_t, int32_t>{main.width + 1024, main.height}));
  EXPECT_TRUE(vd.ensureExtended());

  ASSERT_TRUE(vd.makeMain());
  EXPECT_EQ(displays->mainDisplay(), id);
  EXPECT_EQ(displays->bounds(id), (DisplayBounds{0, 0, 1024, 768}));
  EXPECT_EQ(displays->bounds(main.id), (DisplayBounds{1024, 0, main.width, main.height}));
  ASSERT_TRUE(vd.restoreMain());
  EXPECT_EQ(displays->mainDisplay(), main.id);
  EXPECT_EQ(displays->bounds(main.id), (DisplayBounds{0, 0, main.width, main.height}));
  EXPECT_EQ(displays->bounds(id), (DisplayBounds{main.width, 0, 1024, 768}));

  ASSERT_TRUE(vd.makeMain());
  vd.destroy();  // restores first
  EXPECT_EQ(vd.displayID(), 0u);
  EXPECT_EQ(screenOf(x.display()), before);
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
}

TEST(VirtualDisplayXvfbIntegration, AScreenThatCannotGrowRefusesCreationAndStaysAsItWas) {
  test::PrivateXServer x{{640, 480, 24}};
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  const Screen before = screenOf(x.display());
  test::EventLog log;
  std::vector<uint64_t> sleeps;
  VirtualDisplayManager vd(X11DisplayConfiguration::open(x.display()), [&](const std::string& l) { log.add(l); },
                           [&](uint64_t ns) { sleeps.push_back(ns); });
  EXPECT_FALSE(vd.create(kConfig, 2));
  EXPECT_EQ(vd.displayID(), 0u);
  EXPECT_EQ(sleeps.size(), 1u);
  EXPECT_EQ(log.count("[vd] virtual display not created: the X screen cannot grow"), 2);
  EXPECT_EQ(screenOf(x.display()), before);
}

}  // namespace
}  // namespace lumenrail

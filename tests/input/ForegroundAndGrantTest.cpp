#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <atomic>

#include "input/AppIdentity.hpp"
#include "input/ForegroundAppWatcher.hpp"
#include "input/InputGrantWatch.hpp"
#include "input/UinputEventPlanner.hpp"
#include "platform/NamedThread.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

TEST(AppIdentityTest, OverridesPrefixesAndLastPieces) {
  EXPECT_EQ(AppIdentity::overrides().size(), 42u);
  EXPECT_EQ(AppIdentity::stem("COM.Adobe.PhotoShop"), "photoshop");
  EXPECT_EQ(AppIdentity::stem("com.adobe.PremierePro.24"), "adobe premiere pro");
  EXPECT_EQ(AppIdentity::stem("com.corel.Painter2023"), "painter");
  EXPECT_EQ(AppIdentity::stem("com.apple.Safari"), "safari");
  EXPECT_EQ(AppIdentity::stem("com.example.App2"), "app");
  EXPECT_EQ(AppIdentity::stem("com.example.3d"), "d");
  EXPECT_EQ(AppIdentity::stem("Firefox-ESR"), "firefoxesr");
  EXPECT_EQ(AppIdentity::stem("com.example..."), "example");
  EXPECT_EQ(AppIdentity::stem("org.example.123"), "");
  EXPECT_EQ(AppIdentity::stem("com.captureone.captureone16"), "capture one");
  EXPECT_EQ(AppIdentity::stem("com.seriflabs.affinityphoto2"), AppIdentity::stem("com.seriflabs.affinityphoto"));
  // Linux names of the same applications.
  EXPECT_EQ(AppIdentity::stem("Gimp-2.10"), "gimp");
  EXPECT_EQ(AppIdentity::stem("org.kde.krita"), "krita");
  EXPECT_EQ(AppIdentity::stem("Inkscape"), "inkscape");
  EXPECT_EQ(AppIdentity::stem("org.inkscape.Inkscape"), "inkscape");
  EXPECT_EQ(AppIdentity::stem("Blender"), "blender");
  EXPECT_EQ(AppIdentity::stem("xournalpp"), "xournalpp");
}

// A frontmost application the test switches by hand.
class ScriptedSource final : public ForegroundAppSource {
 public:
  std::optional<std::string> frontmostAppId() override {
    polls.add();
    std::lock_guard guard(lock);
    return app;
  }
  void set(std::optional<std::string> id) {
    std::lock_guard guard(lock);
    app = std::move(id);
  }
  std::mutex lock;
  std::optional<std::string> app;
  test::EventCounter polls;
};

TEST(ForegroundAppWatcherTest, ReportsChangesOnceAndNoneForNoApplication) {
  auto source = std::make_shared<ScriptedSource>();
  source->set("com.adobe.photoshop");
  test::EventLog log;
  test::EventLog changes;
  {
    ForegroundAppWatcher watcher(0.001, source);
    watcher.onEvent = [&](const std::string& l) { log.add(l); };
    watcher.onChange = [&](const std::string& s) { changes.add("[" + s + "]"); };
    watcher.start();
    ASSERT_TRUE(changes.waitFor("[photoshop]"));
    EXPECT_EQ(watcher.current(), "photoshop");
    source->set("com.seriflabs.affinityphoto2");
    ASSERT_TRUE(source->polls.waitFor(source->polls.count() + 3));
    source->set("com.seriflabs.affinityphoto");
    ASSERT_TRUE(source->polls.waitFor(source->polls.count() + 3));
    source->set(std::nullopt);
    ASSERT_TRUE(changes.waitFor("[]"));
    watcher.stop();
    EXPECT_EQ(watcher.current(), "");
  }
  EXPECT_EQ(log.count("foreground watcher started (poll 1ms)"), 1);
  EXPECT_EQ(changes.lines(), (std::vector<std::string>{"[photoshop]", "[photo]", "[]"}));
  EXPECT_EQ(log.count("foreground app → (none)"), 1);
  EXPECT_EQ(log.count("foreground app → photo"), 2);  // photoshop, photo
}

TEST(ForegroundAppWatcherTest, StartStopNeverLeavesTwoPollersAndDestructionEndsTheThread) {
  auto source = std::make_shared<ScriptedSource>();
  source->set("org.krita");
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  test::EventLog log;
  auto watcher = std::make_unique<ForegroundAppWatcher>(0.4, source);
  watcher->onEvent = [&](const std::string& l) { log.add(l); };
  watcher->onChange = [&](const std::string&) {
    const int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    --inside;
  };
  watcher->start();
  watcher->start();
  EXPECT_EQ(log.count("foreground watcher started (poll 400ms)"), 1);
  for (int i = 0; i < 20; ++i) {
    watcher->stop();
    source->set(i % 2 ? "org.krita" : "org.gimp.gimp");
    watcher->start();
    EXPECT_TRUE(watcher->running());
  }
  EXPECT_EQ(log.count("foreground watcher started"), 21);
  watcher.reset();  // stops and joins: no callback after this line
  const int polls = source->polls.count();
  EXPECT_LE(most.load(), 1);
  EXPECT_EQ(source->polls.count(), polls);
}

TEST(InputGrantWatchTest, EdgesOnlyWhileAClientIsConnected) {
  bool allowed = false;
  int probes = 0;
  InputGrantWatch watch([&] {
    ++probes;
    return allowed;
  });
  EXPECT_EQ(watch.poll(false), std::nullopt);
  EXPECT_EQ(probes, 0);
  EXPECT_EQ(watch.poll(true), InputGrantWatch::Edge::blocked);
  EXPECT_TRUE(watch.isBlocked());
  EXPECT_EQ(watch.poll(true), std::nullopt);
  EXPECT_EQ(watch.poll(false), InputGrantWatch::Edge::cleared);
  EXPECT_EQ(probes, 2);
  EXPECT_EQ(watch.poll(false), std::nullopt);
  EXPECT_EQ(watch.poll(true), InputGrantWatch::Edge::blocked);
  allowed = true;
  EXPECT_EQ(watch.poll(true), InputGrantWatch::Edge::cleared);
  EXPECT_EQ(watch.poll(true), std::nullopt);
}

using W = UinputEventPlanner::Write;
using D = UinputEventPlanner::Device;

InputEvent proximity(bool enter, int64_t type, Point at = {}) {
  InputEvent e;
  e.type = 24;
  e.location = at;
  e.intFields = {{37, type}, {38, enter ? 1 : 0}};
  return e;
}

InputEvent tabletPoint(int64_t type, Point at, double pressure, int64_t buttons, double tiltX = 0) {
  InputEvent e;
  e.type = type;
  e.location = at;
  e.intFields = {{7, 1}, {18, buttons}};
  e.doubleFields = {{19, pressure}, {20, tiltX}, {21, 0}};
  return e;
}

TEST(UinputEventPlannerTest, PenStrokeBecomesToolTouchPressureAndTilt) {
  UinputEventPlanner plan(Rect{0, 0, 1920, 1080});
  EXPECT_EQ(plan.axisMaxX(), 1919);
  EXPECT_EQ(*plan.plan(proximity(true, 1, {100, 50})),
            (std::vector<W>{{D::tablet, EV_KEY, BTN_TOOL_PEN, 1}, {D::tablet, EV_ABS, ABS_X, 100},
                            {D::tablet, EV_ABS, ABS_Y, 50}, {D::tablet, EV_SYN, SYN_REPORT, 0}}));
  EXPECT_EQ(*plan.plan(tabletPoint(1, {100.4, 5000}, 0.5, 1, -0.5)),
            (std::vector<W>{{D::tablet, EV_ABS, ABS_X, 100}, {D::tablet, EV_ABS, ABS_Y, 1079},
                            {D::tablet, EV_ABS, ABS_PRESSURE, 2048}, {D::tablet, EV_ABS, ABS_TILT_X, -45},
                            {D::tablet, EV_ABS, ABS_TILT_Y, 0}, {D::tablet, EV_KEY, BTN_TOUCH, 1},
                            {D::tablet, EV_SYN, SYN_REPORT, 0}}));
  // Switching to the eraser lifts the pen tool and its touch in a frame of its own.
  EXPECT_EQ(*plan.plan(proximity(true, 3)),
            (std::vector<W>{{D::tablet, EV_KEY, BTN_TOUCH, 0}, {D::tablet, EV_ABS, ABS_PRESSURE, 0},
                            {D::tablet, EV_KEY, BTN_TOOL_PEN, 0}, {D::tablet, EV_SYN, SYN_REPORT, 0},
                            {D::tablet, EV_KEY, BTN_TOOL_RUBBER, 1}, {D::tablet, EV_ABS, ABS_X, 0},
                            {D::tablet, EV_ABS, ABS_Y, 0}, {D::tablet, EV_SYN, SYN_REPORT, 0}}));
  EXPECT_EQ(*plan.plan(proximity(false, 3)),
            (std::vector<W>{{D::tablet, EV_ABS, ABS_PRESSURE, 0}, {D::tablet, EV_KEY, BTN_TOOL_RUBBER, 0},
                            {D::tablet, EV_SYN, SYN_REPORT, 0}}));
  EXPECT_TRUE(plan.plan(proximity(false, 3))->empty());
}

TEST(UinputEventPlannerTest, FingerMouseWheelsZoomAndKeys) {
  UinputEventPlanner plan(Rect{0, 0, 800, 600});
  InputEvent down;
  down.type = 1;
  down.location = {10, 20};
  EXPECT_EQ(*plan.plan(down), (std::vector<W>{{D::pointer, EV_ABS, ABS_X, 10}, {D::pointer, EV_ABS, ABS_Y, 20},
                                              {D::pointer, EV_KEY, BTN_LEFT, 1}, {D::pointer, EV_SYN, SYN_REPORT, 0}}));
  InputEvent scroll;
  scroll.type = 22;
  scroll.wheel1 = 20;
  scroll.wheel2 = 0;
  scroll.intFields = {{88, 1}, {99, 1}};
  EXPECT_EQ(*plan.plan(scroll), (std::vector<W>{{D::pointer, EV_REL, REL_WHEEL_HI_RES, 80}, {D::pointer, EV_SYN, SYN_REPORT, 0}}));
  scroll.intFields[99] = 2;
  scroll.wheel1 = 10;
  scroll.wheel2 = -30;
  EXPECT_EQ(*plan.plan(scroll), (std::vector<W>{{D::pointer, EV_REL, REL_WHEEL_HI_RES, 40},
                                                {D::pointer, EV_REL, REL_HWHEEL_HI_RES, 120},
                                                {D::pointer, EV_REL, REL_WHEEL, 1},
                                                {D::pointer, EV_REL, REL_HWHEEL, 1},
                                                {D::pointer, EV_SYN, SYN_REPORT, 0}}));
  InputEvent zoom;
  zoom.type = 29;
  zoom.intFields = {{110, 8}, {132, 2}};
  zoom.doubleFields = {{113, 0.25}};
  EXPECT_EQ(*plan.plan(zoom), (std::vector<W>{{D::keyboard, EV_KEY, KEY_LEFTCTRL, 1}, {D::keyboard, EV_SYN, SYN_REPORT, 0},
                                              {D::pointer, EV_REL, REL_WHEEL_HI_RES, 240}, {D::pointer, EV_REL, REL_WHEEL, 2},
                                              {D::pointer, EV_SYN, SYN_REPORT, 0}, {D::keyboard, EV_KEY, KEY_LEFTCTRL, 0},
                                              {D::keyboard, EV_SYN, SYN_REPORT, 0}}));
  InputEvent rotate;
  rotate.type = 29;
  rotate.intFields = {{110, 5}, {132, 2}};
  EXPECT_EQ(plan.plan(rotate), std::nullopt);

  InputEvent key;
  key.type = 10;
  key.keyCode = 12;
  key.flags = 0x100000;
  EXPECT_EQ(*plan.plan(key), (std::vector<W>{{D::keyboard, EV_KEY, KEY_LEFTCTRL, 1}, {D::keyboard, EV_SYN, SYN_REPORT, 0},
                                             {D::keyboard, EV_KEY, KEY_Q, 1}, {D::keyboard, EV_SYN, SYN_REPORT, 0}}));
  EXPECT_EQ(plan.releaseEverything(),
            (std::vector<W>{{D::pointer, EV_KEY, BTN_LEFT, 0}, {D::pointer, EV_SYN, SYN_REPORT, 0},
                            {D::keyboard, EV_KEY, KEY_Q, 0}, {D::keyboard, EV_SYN, SYN_REPORT, 0},
                            {D::keyboard, EV_KEY, KEY_LEFTCTRL, 0}, {D::keyboard, EV_SYN, SYN_REPORT, 0}}));
  EXPECT_TRUE(plan.releaseEverything().empty());
}

}  // namespace
}  // namespace lumenrail

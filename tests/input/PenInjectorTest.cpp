#include "input/PenInjector.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "InjectionFakes.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::kHover;
using test::kTouch;
using test::packet;
using test::pointer;
using Wire::PenTool;

constexpr uint64_t kMs = 1'000'000;

// One client's injector on a manual queue and a fake clock; positions map
// 1:1 onto a 65536-point square unless a test changes the rectangle.
struct Rig {
  std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>();
  std::shared_ptr<test::FakeWindows> windows = std::make_shared<test::FakeWindows>();
  std::shared_ptr<PointerOwnership> ownership = std::make_shared<PointerOwnership>();
  std::optional<std::string> penRateHz = "0";
  bool trace = false;
  double refreshHz = 60;
  Rect rect{0, 0, 65536, 65536};
  std::vector<std::string> lines;
  std::vector<uint64_t> sleeps;

  std::shared_ptr<test::ManualExecutor> newQueue() { return std::make_shared<test::ManualExecutor>(); }

  PenInjector::Platform platform(const std::shared_ptr<test::ManualExecutor>& queue) {
    PenInjector::Platform p;
    p.sink = sink;
    p.windows = windows;
    p.queue = queue;
    p.sleepNs = [this, queue = queue.get()](uint64_t ns) {
      sleeps.push_back(ns);
      queue->clockJump(ns);
    };
    p.penRateHz = penRateHz;
    p.trace = trace;
    p.mainDisplayRefreshHz = [this] { return refreshHz; };
    p.doubleClickIntervalSeconds = [] { return 0.5; };
    p.selfPid = 1000;
    return p;
  }

  std::shared_ptr<PenInjector> make(int32_t clientId, const std::shared_ptr<test::ManualExecutor>& queue) {
    auto injector = PenInjector::create([this] { return rect; }, [] { return std::optional<Size>(); }, ownership,
                                        clientId, platform(queue));
    injector->onEvent = [this](const std::string& line) { lines.push_back(line); };
    return injector;
  }

  int count(const std::string& needle) const {
    int n = 0;
    for (const auto& l : lines) n += l.find(needle) != std::string::npos;
    return n;
  }
};

Wire::InputCaps pressureAndTilt() { return Wire::InputCaps{Wire::InputAxis::pressure | Wire::InputAxis::tilt, 0, 0}; }

std::vector<int64_t> typesOf(const std::vector<InputEvent>& events) {
  std::vector<int64_t> out;
  for (const auto& e : events) out.push_back(e.type);
  return out;
}

TEST(PenInjectorSequence, HoverTouchLiftHoverOutPostsTheFramedStroke) {
  Rig rig;
  auto queue = rig.newQueue();
  auto pen = rig.make(7, queue);
  pen->updateCaps(pressureAndTilt());
  for (auto [flags, x] : std::vector<std::pair<uint8_t, uint16_t>>{
           {kHover, 100}, {kHover, 110}, {kTouch, 120}, {kTouch, 130}, {kHover, 140}, {kHover, 150}, {0, 160}}) {
    pen->submit(packet({pointer(1, PenTool::pen, flags, x, 200, 32768)}));
    queue->advance(20 * kMs);
  }
  const auto events = rig.sink->events();
  ASSERT_EQ(typesOf(events), (std::vector<int64_t>{24, 5, 5, 24, 1, 6, 2, 5, 5, 24}));

  const InputEvent& enter = events[0];
  EXPECT_EQ(enter.location, (Point{100, 200}));
  const std::map<uint32_t, int64_t> proximity{{28, 2894}, {29, 1},   {30, 1},     {31, 7629164},
                                              {32, 0},    {33, 1},   {34, 1},     {35, 7629164},
                                              {36, 0x5C7}, {37, 1},  {38, 1}};
  EXPECT_EQ(enter.intFields, proximity);
  EXPECT_EQ(events[3].intField(38), 1);   // enter again before the press
  EXPECT_EQ(events[9].intField(38), 0);   // leave after the hover exit
  EXPECT_EQ(events[9].intField(37), 1);

  const InputEvent& down = events[4];
  EXPECT_EQ(down.mouseButton, 0);
  EXPECT_EQ(down.location, (Point{120, 200}));
  EXPECT_EQ(down.intField(7), 1);
  EXPECT_EQ(down.intField(1), 1);
  EXPECT_EQ(down.intField(15), 120);
  EXPECT_EQ(down.intField(16), 200);
  EXPECT_EQ(down.intField(18), 1);
  EXPECT_EQ(down.intField(24), 7629164);
  EXPECT_DOUBLE_EQ(*down.doubleField(2), 32768.0 / 65535.0);
  EXPECT_DOUBLE_EQ(*down.doubleField(19), 32768.0 / 65535.0);
  EXPECT_EQ(events[1].intField(1), std::nullopt);  // moves carry no click state
  EXPECT_EQ(events[1].intField(18), 0);
  EXPECT_EQ(events[6].intField(1), 1);

  EXPECT_EQ(rig.lines.front(), "first pen inject: hoverMove at (100, 200) pressure 0.50");
  EXPECT_EQ(rig.count("pen stroke: 2 samples, pressure 0.500..0.500"), 1);
  queue->runReady();
  EXPECT_EQ(rig.ownership->current(), std::nullopt);  // the last packet left nothing live
}

TEST(PenInjectorSequence, CapabilityMaskFollowsTheDeclaredAxes) {
  for (auto [axes, mask] : std::vector<std::pair<uint32_t, int64_t>>{
           {0, 0x47}, {1, 0x447}, {2, 0x1C7}, {3, 0x5C7}, {7, 0x25C7}}) {
    Rig rig;
    auto queue = rig.newQueue();
    auto pen = rig.make(1, queue);
    pen->updateCaps(Wire::InputCaps{axes, 0, 0});
    pen->submit(packet({pointer(1, PenTool::pen, kHover, 10, 10)}));
    queue->runReady();
    ASSERT_FALSE(rig.sink->events().empty());
    EXPECT_EQ(rig.sink->events()[0].intField(36), mask) << "axes " << axes;
  }
}

TEST(PenInjectorSequence, PenToEraserLeavesAsPenAndEntersAsEraser) {
  Rig rig;
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(1, PenTool::pen, kHover, 10, 10)}));
  queue->advance(20 * kMs);
  rig.sink->take();
  pen->submit(packet({pointer(1, PenTool::eraser, kHover, 12, 10)}));
  queue->advance(20 * kMs);
  const auto events = rig.sink->events();
  ASSERT_EQ(typesOf(events), (std::vector<int64_t>{24, 24, 5}));
  EXPECT_EQ(events[0].intField(38), 0);
  EXPECT_EQ(events[0].intField(37), 1);
  EXPECT_EQ(events[1].intField(38), 1);
  EXPECT_EQ(events[1].intField(37), 3);
  EXPECT_EQ(events[1].intField(33), 3);
  EXPECT_EQ(pen->proximityType().at(1), 3);
}

TEST(PenInjectorSequence, ClickStatesCountRunsAndARightPressRestarts) {
  Rig rig;
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  auto press = [&](uint8_t extra) {
    pen->submit(packet({pointer(1, PenTool::pen, kTouch | extra, 100, 100)}));
    queue->advance(30 * kMs);
    pen->submit(packet({pointer(1, PenTool::pen, kTouch | extra, 103, 102)}));
    queue->advance(30 * kMs);
    pen->submit(packet({pointer(1, PenTool::pen, kHover, 103, 102)}));
    queue->advance(30 * kMs);
  };
  auto clicks = [&] {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const auto& e : rig.sink->take()) {
      if (e.type != 5 && e.type != 24) out.emplace_back(e.type, e.intField(1).value_or(-1));
    }
    return out;
  };
  press(0);
  press(0);
  press(0);
  EXPECT_EQ(clicks(), (std::vector<std::pair<int64_t, int64_t>>{
                          {1, 1}, {6, 1}, {2, 1}, {1, 2}, {6, 2}, {2, 2}, {1, 3}, {6, 3}, {2, 3}}));
  press(Wire::PenFlag::barrel);
  press(0);
  EXPECT_EQ(clicks(), (std::vector<std::pair<int64_t, int64_t>>{{3, 1}, {7, 1}, {4, 1}, {1, 1}, {6, 1}, {2, 1}}));
  // Far apart or too late: a new run.
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 200, 100)}));
  queue->advance(600 * kMs);
  pen->submit(packet({pointer(1, PenTool::pen, kHover, 200, 100)}));
  queue->advance(600 * kMs);
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 200, 100)}));
  queue->advance(30 * kMs);
  const auto last = clicks();
  EXPECT_EQ(last.front(), (std::pair<int64_t, int64_t>{1, 1}));
  EXPECT_EQ(last.back(), (std::pair<int64_t, int64_t>{1, 1}));
}

TEST(PenInjectorGesture, PanCarriesFractionalScrollAndActivatesTheAppUnderIt) {
  Rig rig;
  rig.rect = Rect{0, 0, 26215, 26215};  // one unit of the wire is 0.4 points
  rig.windows->under = WindowActivator::AppWindow{77, 4242, "Krita"};
  rig.windows->activePid = 1;
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  auto two = [&](uint16_t y) {
    pen->submit(packet({pointer(1, PenTool::finger, kTouch, 1000, y), pointer(2, PenTool::finger, kTouch, 2000, y)}));
    queue->runReady();
  };
  two(1000);
  two(1040);  // 16 points: decided as a pan
  auto began = rig.sink->take();
  std::vector<InputEvent> scrolls;
  for (const auto& e : began) {
    if (e.type == 22) scrolls.push_back(e);
  }
  ASSERT_EQ(scrolls.size(), 1u);
  EXPECT_EQ(scrolls[0].intField(99), 1);
  EXPECT_EQ(scrolls[0].intField(88), 1);
  EXPECT_EQ(scrolls[0].wheel1, 0);
  ASSERT_GE(began.size(), 2u);
  EXPECT_EQ(began[0].type, 5);  // the pointer goes to the gesture first
  EXPECT_EQ(rig.windows->activated, (std::vector<uint32_t>{77}));
  EXPECT_EQ(rig.count("gesture: brought Krita to the front (ok)"), 1);

  two(1041);
  two(1042);
  EXPECT_TRUE(rig.sink->take().empty());
  two(1043);
  const auto third = rig.sink->take();
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].type, 22);
  EXPECT_EQ(third[0].wheel1, 1);
  EXPECT_EQ(third[0].wheel2, 0);
  EXPECT_EQ(third[0].intField(99), 2);
}

TEST(PenInjectorGesture, PenPressOverOwnWindowActivatesNothingAndDoesNotWait) {
  Rig rig;
  rig.windows->under = WindowActivator::AppWindow{5, 1000, "Lumenrail"};
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  queue->runReady();
  EXPECT_TRUE(rig.windows->activated.empty());
  EXPECT_TRUE(rig.sleeps.empty());
}

TEST(PenInjectorGesture, PenPressWaitsUpToTenPollsForTheActivatedApp) {
  Rig rig;
  rig.windows->under = WindowActivator::AppWindow{5, 4242, ""};
  rig.windows->frontOwners = {std::nullopt};
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  queue->runReady();
  EXPECT_EQ(rig.sleeps, std::vector<uint64_t>(10, 10 * kMs));
  EXPECT_EQ(rig.count("pen press: brought pid 4242 to the front (ok)"), 1);
  EXPECT_EQ(rig.count("pen press: app not in front after 100 ms — first stroke may lack pressure"), 1);
  EXPECT_EQ(rig.sink->types().back(), 1);  // pressed anyway

  Rig quick;
  quick.windows->under = WindowActivator::AppWindow{5, 4242, "Gimp"};
  quick.windows->frontOwners = {std::nullopt, 4242};
  auto q2 = quick.newQueue();
  auto pen2 = quick.make(1, q2);
  pen2->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  q2->runReady();
  EXPECT_EQ(quick.sleeps.size(), 1u);
  EXPECT_EQ(quick.count("app not in front"), 0);
}

TEST(PenInjectorOwnership, SecondClientIsRefusedUntilTheFirstLetsGo) {
  Rig rig;
  auto qa = rig.newQueue();
  auto qb = rig.newQueue();
  auto a = rig.make(11, qa);
  auto b = rig.make(12, qb);
  a->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  qa->runReady();
  EXPECT_EQ(rig.ownership->current(), 11);
  const size_t before = rig.sink->events().size();
  for (int i = 0; i < 3; ++i) {
    b->submit(packet({pointer(1, PenTool::pen, kTouch, 500, 500)}));
    qb->runReady();
  }
  EXPECT_EQ(rig.sink->events().size(), before);
  EXPECT_EQ(rig.count("input from client 12 ignored — another client is using the pointer"), 1);

  a->submit(packet({pointer(1, PenTool::pen, 0, 10, 10)}));
  qa->runReady();
  EXPECT_EQ(rig.ownership->current(), std::nullopt);
  b->submit(packet({pointer(1, PenTool::pen, kTouch, 500, 500)}));
  qb->runReady();
  EXPECT_EQ(rig.ownership->current(), 12);
  EXPECT_EQ(rig.sink->types().back(), 1);

  // A new run of refusals is logged again.
  a->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  qa->runReady();
  EXPECT_EQ(rig.count("input from client 11 ignored"), 1);
}

TEST(PenInjectorSilence, QuietPenIsReleasedAfterHalfASecondAndAFingerAfterOne) {
  {
    Rig rig;
    auto queue = rig.newQueue();
    auto pen = rig.make(3, queue);
    pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
    queue->runReady();
    rig.sink->take();
    queue->advance(499 * kMs);
    EXPECT_TRUE(rig.sink->events().empty());
    queue->advance(1 * kMs);
    EXPECT_EQ(typesOf(rig.sink->events()), (std::vector<int64_t>{2, 24}));
    EXPECT_EQ(rig.count("input silent with the pen still in range or down — released (client gone quiet)"), 1);
    EXPECT_EQ(rig.ownership->current(), std::nullopt);
    EXPECT_TRUE(pen->proximityType().empty());
    queue->advance(5000 * kMs);
    EXPECT_EQ(queue->pending(), 0u);  // nothing live: no timer re-armed
  }
  {
    Rig rig;
    auto queue = rig.newQueue();
    auto pen = rig.make(3, queue);
    pen->submit(packet({pointer(4, PenTool::finger, kTouch, 300, 300)}));
    queue->runReady();
    queue->advance(200 * kMs);  // held: the finger becomes the left button
    pen->submit(packet({pointer(4, PenTool::finger, kTouch, 320, 300)}));
    queue->runReady();
    rig.sink->take();
    queue->advance(999 * kMs);
    EXPECT_TRUE(rig.sink->events().empty());
    queue->advance(1 * kMs);
    const auto events = rig.sink->events();
    ASSERT_EQ(typesOf(events), (std::vector<int64_t>{2}));
    EXPECT_EQ(events[0].location, (Point{320, 300}));
    EXPECT_EQ(rig.count("input silent with a finger still in range or down"), 1);
  }
}

TEST(PenInjectorSilence, PacketsInTimeKeepThePenAndEmptyPacketsCount) {
  Rig rig;
  auto queue = rig.newQueue();
  auto pen = rig.make(3, queue);
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  queue->runReady();
  for (int i = 0; i < 5; ++i) {
    queue->advance(400 * kMs);
    pen->submit({});  // no samples still notes input
    queue->runReady();
  }
  EXPECT_EQ(rig.count("input silent"), 0);
  EXPECT_EQ(rig.ownership->current(), 3);
}

TEST(PenInjectorCaps, CapsMidStrokeReleaseTheStrokeFirst) {
  Rig rig;
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  queue->advance(20 * kMs);
  rig.sink->take();
  pen->updateCaps(pressureAndTilt());
  queue->runReady();
  const auto events = rig.sink->events();
  ASSERT_EQ(typesOf(events), (std::vector<int64_t>{2, 24}));
  EXPECT_EQ(events[1].intField(36), 0x47);  // the leave still carries the old caps
  EXPECT_EQ(pen->caps(), pressureAndTilt());
  EXPECT_TRUE(pen->strokeStat().empty());
  // The next touch starts fresh with the new caps.
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10, 65535)}));
  queue->runReady();
  EXPECT_EQ(rig.sink->events().back().type, 1);
  EXPECT_EQ(rig.sink->events()[2].intField(36), 0x5C7);
}

TEST(PenInjectorTrace, TraceWritesALinePerPacket) {
  Rig rig;
  rig.trace = true;
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  EXPECT_TRUE(pen->trace());
  std::vector<Wire::InputSample> samples{{4200, {}}, {16999, {}}};
  pen->submit(samples);
  queue->runReady();
  queue->advance(12'340'000);
  pen->submit(samples);
  queue->runReady();
  EXPECT_EQ(rig.lines.at(0), "pkt +0.0ms n=2 tDeltaMs=[4,16]");
  EXPECT_EQ(rig.lines.at(1), "pkt +12.3ms n=2 tDeltaMs=[4,16]");

  Rig quiet;
  auto q2 = quiet.newQueue();
  EXPECT_FALSE(quiet.make(1, q2)->trace());
}

TEST(PenInjectorPacing, RateVariableChoosesTheIntervalAndStopsRetuning) {
  auto rateFor = [](std::optional<std::string> value) {
    Rig rig;
    rig.refreshHz = 120;
    rig.penRateHz = value;
    auto queue = rig.newQueue();
    return rig.make(1, queue)->pacer().intervalNs();
  };
  EXPECT_EQ(rateFor("0"), 0u);
  EXPECT_EQ(rateFor("200"), 5'000'000u);
  EXPECT_EQ(rateFor("-5"), 8'333'333u);
  EXPECT_EQ(rateFor("fast"), 8'333'333u);
  EXPECT_EQ(rateFor(std::nullopt), 8'333'333u);

  Rig rig;
  rig.penRateHz = "junk";
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  rig.refreshHz = 144;
  pen->submit(packet({pointer(1, PenTool::pen, kHover, 10, 10)}));
  queue->runReady();
  EXPECT_EQ(pen->pacerHz(), 60);
  EXPECT_EQ(rig.count("retuned"), 0);
}

TEST(PenInjectorPacing, RetuneWaitsForTheOpenStrokeToEnd) {
  Rig rig;
  rig.penRateHz.reset();
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  queue->runReady();
  rig.refreshHz = 120;
  for (uint16_t x = 11; x < 15; ++x) {  // in time for the silence limit
    queue->advance(400 * kMs);
    pen->submit(packet({pointer(1, PenTool::pen, kTouch, x, 10)}));
    queue->runReady();
  }
  EXPECT_EQ(pen->pacerHz(), 60);
  pen->submit(packet({pointer(1, PenTool::pen, kHover, 20, 10)}));
  queue->runReady();
  EXPECT_EQ(pen->pacerHz(), 60);  // the up came in this packet, after the check
  pen->submit(packet({pointer(1, PenTool::pen, kHover, 30, 10)}));
  queue->runReady();
  EXPECT_EQ(pen->pacerHz(), 120);
  EXPECT_EQ(rig.count("pen pacing retuned to 120 Hz (main display refresh)"), 1);
}

TEST(PenInjectorPacing, RetuneKeepsAPendingFingerMove) {
  Rig rig;
  rig.penRateHz.reset();
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(4, PenTool::finger, kTouch, 300, 300)}));
  queue->runReady();
  queue->advance(200 * kMs);  // the finger holds the left button now
  queue->clockJump(800 * kMs);  // one rate check interval after the first packet
  pen->submit(packet({pointer(4, PenTool::finger, kTouch, 310, 300)}));
  queue->runReady();
  rig.sink->take();
  pen->submit(packet({pointer(4, PenTool::finger, kTouch, 340, 300)}));  // held back by pacing
  queue->runReady();
  ASSERT_FALSE(pen->pacer().pending().empty());
  ASSERT_TRUE(rig.sink->events().empty());
  rig.refreshHz = 90;
  queue->clockJump(1 * kMs);
  pen->submit({});
  queue->runReady();
  EXPECT_EQ(pen->pacerHz(), 90);
  const auto events = rig.sink->events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().type, 6);
  EXPECT_EQ(events.back().location, (Point{340, 300}));
  queue->advance(100 * kMs);
  EXPECT_EQ(rig.sink->events().size(), events.size());  // and only once
}

TEST(PenInjectorFailures, StrokeWhoseLastEventFailsStillCloses) {
  Rig rig;
  rig.penRateHz.reset();
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}));
  queue->runReady();
  ASSERT_EQ(pen->strokeStat().size(), 1u);
  rig.sink->refuse = [](const InputEvent& e) { return e.type == 2; };
  pen->submit(packet({pointer(1, PenTool::pen, 0, 10, 10)}));
  queue->runReady();
  EXPECT_TRUE(pen->strokeStat().empty());
  EXPECT_TRUE(pen->proximityType().empty());
  EXPECT_EQ(rig.sink->types().back(), 24);  // it still left proximity
  rig.refreshHz = 120;
  queue->advance(1500 * kMs);
  pen->submit(packet({pointer(1, PenTool::pen, kHover, 10, 10)}));
  queue->runReady();
  EXPECT_EQ(pen->pacerHz(), 120);  // retuning is not blocked forever
}

TEST(PenInjectorArbiter, PenPressReleasesTheFingerAtTheFingersOwnPoint) {
  Rig rig;
  auto queue = rig.newQueue();
  auto pen = rig.make(1, queue);
  pen->submit(packet({pointer(4, PenTool::finger, kTouch, 300, 300)}));
  queue->runReady();
  queue->advance(200 * kMs);
  pen->submit(packet({pointer(4, PenTool::finger, kTouch, 305, 300)}));
  queue->runReady();
  rig.sink->take();
  pen->submit(packet({pointer(4, PenTool::finger, kTouch, 305, 300), pointer(1, PenTool::pen, kTouch, 900, 900)}));
  queue->runReady();
  const auto events = rig.sink->events();
  std::vector<InputEvent> ups;
  for (const auto& e : events) {
    if (e.type == 2) ups.push_back(e);
  }
  ASSERT_EQ(ups.size(), 1u);
  EXPECT_EQ(ups[0].location, (Point{305, 300}));
  EXPECT_TRUE(ups[0].intFields.empty());
  EXPECT_EQ(rig.count("pen pressed while a finger held the button — finger released"), 1);
  EXPECT_EQ(events.back().type, 1);
  EXPECT_EQ(events.back().location, (Point{900, 900}));
}

TEST(PenInjectorsMap, CapsCreateInjectorsAndClientGoneReleasesBeforeReturning) {
  auto sink = std::make_shared<test::RecordingSink>();
  test::EventLog log;
  PenInjectors injectors([&](int32_t id, std::shared_ptr<PointerOwnership> ownership) {
    PenInjector::Platform platform;
    platform.sink = sink;
    // A clock that stands still: a slow machine's pause is no silence that
    // releases the pen before the test looks at its owner.
    platform.now = [] { return uint64_t{1'000'000'000}; };
    platform.penRateHz = "0";
    auto injector = PenInjector::create([] { return Rect{0, 0, 65536, 65536}; }, [] { return std::optional<Size>(); },
                                        std::move(ownership), id, std::move(platform));
    injector->onEvent = [&log](const std::string& line) { log.add(line); };
    return injector;
  });
  injectors.updateCaps(pressureAndTilt(), 9);
  EXPECT_EQ(injectors.count(), 1);
  injectors.submit(packet({pointer(1, PenTool::pen, kTouch, 10, 10)}), 9);
  ASSERT_TRUE(test::eventually([&] { return injectors.ownership()->current() == 9; }));

  injectors.clientGone(9);
  // Everything of the departed client has been posted by now.
  EXPECT_EQ(injectors.count(), 0);
  EXPECT_EQ(injectors.ownership()->current(), std::nullopt);
  const auto types = sink->types();
  ASSERT_GE(types.size(), 2u);
  EXPECT_EQ((std::vector<int64_t>(types.end() - 2, types.end())), (std::vector<int64_t>{2, 24}));

  // A new client on the same descriptor starts clean and owns the pointer.
  const size_t before = sink->events().size();
  injectors.submit(packet({pointer(1, PenTool::pen, kHover, 20, 20)}), 9);
  ASSERT_TRUE(test::eventually([&] { return sink->events().size() >= before + 2; }));
  EXPECT_EQ(injectors.ownership()->current(), 9);
  injectors.clientGone(9);
  injectors.clientGone(9);  // unknown by now: nothing
  EXPECT_EQ(log.count("first pen inject"), 2);
}

}  // namespace
}  // namespace lumenrail

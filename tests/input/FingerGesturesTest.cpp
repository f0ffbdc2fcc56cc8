#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "input/FingerGestures.hpp"
#include "input/PenPacer.hpp"

namespace lumenrail {
namespace {

using Action = PenMapper::Action;
using Output = FingerGestures::Output;
using Phase = FingerGestures::Phase;
using Outputs = std::vector<Output>;

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kT = 10'000'000'000;  // the fake clock starts well above zero

PenMapper::Event fe(uint8_t id, Action action, double x, double y) {
  PenMapper::Event e;
  e.pointerId = id;
  e.action = action;
  e.isPen = false;
  e.x = x;
  e.y = y;
  return e;
}

Output mouse(uint8_t id, Action action, double x, double y) { return Output::mouse(fe(id, action, x, y)); }

void expectOutputs(const Outputs& got, const Outputs& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    const Output& g = got[i];
    const Output& w = want[i];
    const std::string at = what + " #" + std::to_string(i);
    ASSERT_EQ(g.kind, w.kind) << at;
    if (w.kind == Output::Kind::mouse) {
      EXPECT_EQ(g.event, w.event) << at;
      continue;
    }
    EXPECT_EQ(g.phase, w.phase) << at;
    EXPECT_NEAR(g.dx, w.dx, 1e-9) << at;
    EXPECT_NEAR(g.dy, w.dy, 1e-9) << at;
    EXPECT_NEAR(g.delta, w.delta, 1e-9) << at;
    EXPECT_NEAR(g.degrees, w.degrees, 1e-9) << at;
    EXPECT_NEAR(g.x, w.x, 1e-9) << at;
    EXPECT_NEAR(g.y, w.y, 1e-9) << at;
  }
}

Outputs feed(FingerGestures& g, std::initializer_list<PenMapper::Event> events, uint64_t now) {
  Outputs out;
  for (const auto& e : events) {
    const Outputs step = g.ingest(e, now);
    out.insert(out.end(), step.begin(), step.end());
  }
  return out;
}

// Both fingers of a pair on a circle about (cx, cy): finger 1 at angle + 180,
// finger 2 at angle, `radius` from the centre. Finger 1 reports first.
Outputs turn(FingerGestures& g, double cx, double cy, double radius, double deg, uint64_t now) {
  const double r = deg * std::numbers::pi / 180;
  const double dx = radius * std::cos(r);
  const double dy = radius * std::sin(r);
  return feed(g, {fe(1, Action::drag, cx - dx, cy - dy), fe(2, Action::drag, cx + dx, cy + dy)}, now);
}

// Points placed by sine and cosine leave angle changes of a few ulps where the
// test means none; the recogniser reports those faithfully.
Outputs significant(const Outputs& outputs) {
  Outputs out;
  for (const Output& o : outputs) {
    const bool noise = o.phase == Phase::changed && ((o.kind == Output::Kind::rotate && std::fabs(o.degrees) < 1e-9) ||
                                                     (o.kind == Output::Kind::magnify && std::fabs(o.delta) < 1e-12));
    if (!noise) out.push_back(o);
  }
  return out;
}

TEST(FingerGestures, ATapClicksAtTheLiftPoint) {
  FingerGestures g;
  EXPECT_TRUE(g.ingest(fe(1, Action::down, 100, 100), kT).empty());
  EXPECT_TRUE(g.ingest(fe(1, Action::drag, 104, 100), kT + 20 * kMs).empty());
  expectOutputs(g.ingest(fe(1, Action::up, 105, 100), kT + 89 * kMs),
                {mouse(1, Action::down, 105, 100), mouse(1, Action::up, 105, 100)}, "tap");
  EXPECT_TRUE(std::holds_alternative<FingerGestures::Idle>(g.state));
  EXPECT_TRUE(g.down.empty());
}

TEST(FingerGestures, AFingerHeldStillPressesByTickWithItsLatestMove) {
  FingerGestures g;
  g.ingest(fe(1, Action::down, 100, 100), kT);
  EXPECT_TRUE(g.ingest(fe(1, Action::drag, 103, 102), kT + 40 * kMs).empty());
  ASSERT_EQ(g.deadline(), kT + 90 * kMs);
  EXPECT_TRUE(g.tick(kT + 90 * kMs - 1).empty());
  expectOutputs(g.tick(kT + 90 * kMs), {mouse(1, Action::down, 100, 100), mouse(1, Action::drag, 103, 102)}, "tick");
  EXPECT_EQ(g.deadline(), std::nullopt);
  EXPECT_TRUE(g.tick(kT + 200 * kMs).empty());
  expectOutputs(g.ingest(fe(1, Action::drag, 130, 100), kT + 300 * kMs), {mouse(1, Action::drag, 130, 100)}, "drag");
  expectOutputs(g.ingest(fe(1, Action::up, 131, 100), kT + 400 * kMs), {mouse(1, Action::up, 131, 100)}, "up");
}

TEST(FingerGestures, SlopAndHoldTimeDecideWhenADragPresses) {
  const struct {
    const char* what;
    double x;
    uint64_t after;
    bool presses;
  } rows[] = {
      {"8 points is still within the slop", 108, 10 * kMs, false},
      {"9 points presses at once", 109, 10 * kMs, true},
      {"a small move after the hold time", 101, 90 * kMs, true},
  };
  for (const auto& row : rows) {
    FingerGestures g;
    g.ingest(fe(1, Action::down, 100, 100), kT);
    const auto out = g.ingest(fe(1, Action::drag, row.x, 100), kT + row.after);
    const Outputs pressed = {mouse(1, Action::down, 100, 100), mouse(1, Action::drag, row.x, 100)};
    expectOutputs(out, row.presses ? pressed : Outputs{}, row.what);
  }
}

// The pacer holds the swipe's only move and drops it when the lift comes:
// the recogniser still sees a drag, which ends at the lift point.
TEST(FingerGestures, ASwipeWhoseMoveThePacerHeldBackIsStillADrag) {
  PenPacer pacer = PenPacer::fromRate(60);
  FingerGestures g;
  Outputs out;
  const std::vector<std::pair<PenMapper::Event, uint64_t>> packets = {
      {fe(1, Action::down, 100, 100), kT},
      {fe(1, Action::drag, 140, 100), kT + 5 * kMs},
      {fe(1, Action::up, 180, 100), kT + 10 * kMs},
  };
  for (const auto& [event, at] : packets) {
    for (const auto& posted : pacer.ingest(event, at)) {
      const auto step = g.ingest(posted, at);
      out.insert(out.end(), step.begin(), step.end());
    }
  }
  expectOutputs(out,
                {mouse(1, Action::down, 100, 100), mouse(1, Action::drag, 180, 100), mouse(1, Action::up, 180, 100)},
                "paced swipe");
}

TEST(FingerGestures, ASecondFingerTurnsTheTouchIntoAGesture) {
  {
    FingerGestures g;
    g.ingest(fe(1, Action::down, 100, 100), kT);
    g.ingest(fe(1, Action::drag, 103, 100), kT + 10 * kMs);
    EXPECT_TRUE(g.ingest(fe(2, Action::down, 200, 100), kT + 20 * kMs).empty());
    const auto* gesture = std::get_if<FingerGestures::Gesture>(&g.state);
    ASSERT_NE(gesture, nullptr);
    EXPECT_EQ(gesture->a, 1);
    EXPECT_EQ(gesture->b, 2);
    EXPECT_EQ(gesture->pos.at(1), (Point{103, 100}));
    EXPECT_EQ(gesture->startSpread, 97);
    EXPECT_EQ(g.deadline(), std::nullopt);
    EXPECT_TRUE(g.tick(kT + 500 * kMs).empty());  // the pending press is never posted
  }
  {
    FingerGestures g;
    g.ingest(fe(1, Action::down, 100, 100), kT);
    g.ingest(fe(1, Action::drag, 120, 100), kT + 10 * kMs);
    expectOutputs(g.ingest(fe(2, Action::down, 200, 100), kT + 20 * kMs), {mouse(1, Action::up, 120, 100)},
                  "release before the gesture");
    EXPECT_TRUE(std::holds_alternative<FingerGestures::Gesture>(g.state));
  }
}

TEST(FingerGestures, PanScrollsByTheCentroidAndEndsWhenAFingerLifts) {
  FingerGestures g;
  feed(g, {fe(1, Action::down, 100, 100), fe(2, Action::down, 140, 100)}, kT);
  expectOutputs(feed(g, {fe(1, Action::drag, 110, 100), fe(2, Action::drag, 150, 100)}, kT + kMs), {},
                "10 points decide nothing");
  expectOutputs(feed(g, {fe(1, Action::drag, 115, 100), fe(2, Action::drag, 155, 100)}, kT + 2 * kMs),
                {Output::scroll(0, 0, 135, 100, Phase::began)}, "15 points begin a pan");
  expectOutputs(feed(g, {fe(1, Action::drag, 120, 100), fe(2, Action::drag, 160, 103)}, kT + 3 * kMs),
                {Output::scroll(5, 1.5, 140, 101.5, Phase::changed)}, "centroid move scrolls");
  // One finger reporting twice updates against the other's old point.
  expectOutputs(feed(g, {fe(1, Action::drag, 124, 100), fe(1, Action::drag, 130, 100)}, kT + 4 * kMs),
                {Output::scroll(2, 0, 142, 101.5, Phase::changed)}, "one finger twice");
  // Spreading the fingers does not turn a pan into a zoom.
  expectOutputs(feed(g, {fe(1, Action::drag, 100, 100), fe(2, Action::drag, 190, 103)}, kT + 5 * kMs),
                {Output::scroll(3, 0, 145, 101.5, Phase::changed)}, "pan stays pan");
  expectOutputs(feed(g, {fe(1, Action::up, 100, 100)}, kT + 6 * kMs), {Output::scroll(0, 0, 145, 101.5, Phase::ended)},
                "lift ends");
  EXPECT_TRUE(std::holds_alternative<FingerGestures::Draining>(g.state));
  EXPECT_TRUE(feed(g, {fe(2, Action::drag, 300, 300)}, kT + 7 * kMs).empty());
  EXPECT_TRUE(feed(g, {fe(2, Action::up, 300, 300)}, kT + 8 * kMs).empty());
  EXPECT_TRUE(std::holds_alternative<FingerGestures::Idle>(g.state));
  g.ingest(fe(3, Action::down, 50, 50), kT + 9 * kMs);
  EXPECT_TRUE(std::holds_alternative<FingerGestures::Pending>(g.state));
}

TEST(FingerGestures, ZoomBeginsOnSpreadAndRotationJoinsPastItsDeadband) {
  FingerGestures g;
  feed(g, {fe(1, Action::down, 100, 100), fe(2, Action::down, 200, 100)}, kT);
  expectOutputs(feed(g, {fe(1, Action::drag, 85, 100), fe(2, Action::drag, 215, 100)}, kT + kMs),
                {Output::magnify(0, 150, 100, Phase::began)}, "spread 30 begins zoom");
  expectOutputs(feed(g, {fe(1, Action::drag, 80, 100), fe(2, Action::drag, 220, 100)}, kT + 2 * kMs),
                {Output::magnify(140.0 / 130.0 - 1, 150, 100, Phase::changed)}, "spread 140");
  expectOutputs(significant(turn(g, 150, 100, 70, 20, kT + 2 * kMs)), {}, "20 degrees of twist stay a zoom");
  // Turned by 53.13 degrees at the same spread (84, 112 is 140 long): rotation
  // joins, and the step that joins reports no rotation yet.
  expectOutputs(significant(feed(g, {fe(1, Action::drag, 108, 44), fe(2, Action::drag, 192, 156)}, kT + 3 * kMs)),
                {Output::rotate(0, 150, 100, Phase::began)}, "rotation joins");
  expectOutputs(feed(g, {fe(1, Action::drag, 150, 30), fe(2, Action::drag, 150, 170)}, kT + 4 * kMs),
                {Output::rotate(std::atan2(112.0, 84.0) * 180 / std::numbers::pi - 90, 150, 100, Phase::changed)},
                "turned to 90 degrees");
  expectOutputs(feed(g, {fe(1, Action::drag, 150, 40), fe(2, Action::drag, 150, 160)}, kT + 5 * kMs),
                {Output::magnify(120.0 / 140.0 - 1, 150, 100, Phase::changed)}, "pinch");
  expectOutputs(feed(g, {fe(2, Action::up, 150, 160)}, kT + 6 * kMs),
                {Output::magnify(0, 150, 100, Phase::ended), Output::rotate(0, 150, 100, Phase::ended)}, "ended");
}

TEST(FingerGestures, RotateBeginsOnTheArcAndZoomJoinsPastItsDeadband) {
  FingerGestures g;
  feed(g, {fe(1, Action::down, 100, 100), fe(2, Action::down, 200, 100)}, kT);
  // Spread 100: an arc of 14 points is 16.04 degrees.
  expectOutputs(turn(g, 150, 100, 50, 10, kT + kMs), {}, "10 degrees decide nothing");
  expectOutputs(turn(g, 150, 100, 50, 20, kT + 2 * kMs), {Output::rotate(0, 150, 100, Phase::began)},
                "20 degrees begin a rotation");
  expectOutputs(turn(g, 150, 100, 50, 30, kT + 3 * kMs), {Output::rotate(-10, 150, 100, Phase::changed)},
                "counter-clockwise on screen reports the negative change of angle");
  expectOutputs(significant(turn(g, 150, 100, 55, 30, kT + 4 * kMs)), {}, "spread +10 % stays a rotation");
  expectOutputs(significant(turn(g, 150, 100, 65, 30, kT + 5 * kMs)), {Output::magnify(0, 150, 100, Phase::began)},
                "spread +30 % joins zoom");
  expectOutputs(turn(g, 150, 100, 70, 25, kT + 6 * kMs),
                {Output::magnify(140.0 / 130.0 - 1, 150, 100, Phase::changed),
                 Output::rotate(5, 150, 100, Phase::changed)},
                "both");
  expectOutputs(feed(g, {fe(1, Action::up, 0, 0), fe(2, Action::up, 0, 0)}, kT + 7 * kMs),
                {Output::magnify(0, 150, 100, Phase::ended), Output::rotate(0, 150, 100, Phase::ended)}, "ended");
  EXPECT_TRUE(std::holds_alternative<FingerGestures::Idle>(g.state));
}

TEST(FingerGestures, AngleDifferenceWrapsAcrossTheHalfTurn) {
  FingerGestures g;
  const double r = 150 * std::numbers::pi / 180;
  feed(g, {fe(1, Action::down, -50 * std::cos(r), -50 * std::sin(r)), fe(2, Action::down, 50 * std::cos(r), 50 * std::sin(r))},
       kT);
  expectOutputs(turn(g, 0, 0, 50, 179, kT + kMs), {Output::rotate(0, 0, 0, Phase::began)}, "29 degrees begin");
  // 179 to -179 is a turn of +2 degrees, reported as -2; not -358 the other way.
  expectOutputs(turn(g, 0, 0, 50, -179, kT + 2 * kMs), {Output::rotate(-2, 0, 0, Phase::changed)}, "wrap forward");
  expectOutputs(turn(g, 0, 0, 50, 178, kT + 3 * kMs), {Output::rotate(3, 0, 0, Phase::changed)}, "wrap back");
  EXPECT_NEAR(std::get<FingerGestures::Gesture>(g.state).twist, 28, 1e-9);
}

TEST(FingerGestures, AThirdFingerChangesNothing) {
  FingerGestures g;
  feed(g, {fe(1, Action::down, 100, 100), fe(2, Action::down, 140, 100)}, kT);
  feed(g, {fe(1, Action::drag, 120, 100), fe(2, Action::drag, 160, 100)}, kT + kMs);
  const FingerGestures::State before = g.state;
  EXPECT_TRUE(feed(g, {fe(3, Action::down, 500, 500), fe(3, Action::drag, 600, 600)}, kT + 2 * kMs).empty());
  EXPECT_EQ(g.state, before);
  expectOutputs(feed(g, {fe(1, Action::up, 120, 100)}, kT + 3 * kMs), {Output::scroll(0, 0, 140, 100, Phase::ended)},
                "ended");
  // Draining until every finger, the third included, has lifted.
  EXPECT_TRUE(feed(g, {fe(2, Action::up, 160, 100)}, kT + 4 * kMs).empty());
  EXPECT_TRUE(std::holds_alternative<FingerGestures::Draining>(g.state));
  EXPECT_TRUE(feed(g, {fe(3, Action::up, 600, 600)}, kT + 5 * kMs).empty());
  EXPECT_TRUE(std::holds_alternative<FingerGestures::Idle>(g.state));
}

TEST(FingerGestures, ResetClosesWhateverIsOpen) {
  struct Row {
    const char* what;
    std::vector<PenMapper::Event> events;
    Outputs closing;
  };
  const Row rows[] = {
      {"mouse", {fe(1, Action::down, 10, 10), fe(1, Action::drag, 40, 10)}, {mouse(1, Action::up, 40, 10)}},
      {"pan",
       {fe(1, Action::down, 0, 0), fe(2, Action::down, 40, 0), fe(1, Action::drag, 20, 0), fe(2, Action::drag, 60, 0)},
       {Output::scroll(0, 0, 40, 0, Phase::ended)}},
  };
  for (const Row& row : rows) {
    FingerGestures g;
    for (const auto& e : row.events) g.ingest(e, kT);
    expectOutputs(g.reset(), row.closing, row.what);
    EXPECT_TRUE(std::holds_alternative<FingerGestures::Idle>(g.state)) << row.what;
    EXPECT_TRUE(g.down.empty()) << row.what;
    EXPECT_EQ(g.deadline(), std::nullopt) << row.what;
  }
}

}  // namespace
}  // namespace lumenrail

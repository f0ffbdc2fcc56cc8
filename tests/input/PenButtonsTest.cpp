#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <vector>

#include "input/ClickCounter.hpp"
#include "input/PenButtons.hpp"
#include "input/PenDisplayPolicy.hpp"
#include "input/PenFingerArbiter.hpp"
#include "input/PenMapper.hpp"

namespace lumenrail {
namespace {

using Action = PenMapper::Action;
using Button = PenButtons::Button;
using Step = PenButtons::Step;

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kT = 5'000'000'000;  // the fake clock starts well above zero

PenMapper::Event penEvent(Action action, bool barrel, uint8_t id = 1) {
  PenMapper::Event e;
  e.pointerId = id;
  e.action = action;
  e.barrel = barrel;
  return e;
}

struct Input {
  Action action;
  bool barrel;
};

std::vector<Step> run(PenButtons& buttons, const std::vector<Input>& inputs) {
  std::vector<Step> steps;
  for (const Input& in : inputs) steps.push_back(buttons.step(penEvent(in.action, in.barrel)));
  return steps;
}

TEST(PenButtons, BarrelSequences) {
  struct Row {
    const char* what;
    std::vector<Input> inputs;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {"tip alone is the left button",
       {{Action::hoverMove, false}, {Action::down, false}, {Action::drag, false}, {Action::up, false},
        {Action::hoverMove, false}},
       {Step::move(), Step::down(Button::left), Step::drag(Button::left), Step::up(Button::left), Step::move()}},
      {"barrel pressed during a left stroke gives no right click",
       {{Action::down, false}, {Action::drag, true}, {Action::up, true}, {Action::hoverMove, true},
        {Action::hoverMove, false}},
       {Step::down(Button::left), Step::drag(Button::left), Step::up(Button::left), Step::move(), Step::move()}},
      {"barrel in the air is a right click held through the tip",
       {{Action::hoverMove, true}, {Action::down, true}, {Action::drag, true}, {Action::up, true},
        {Action::hoverMove, true}, {Action::hoverMove, false}},
       {Step::down(Button::right), Step::drag(Button::right), Step::drag(Button::right), Step::drag(Button::right),
        Step::drag(Button::right), Step::up(Button::right)}},
      {"right button stays down while only the tip stays down",
       {{Action::down, true}, {Action::drag, false}, {Action::up, false}},
       {Step::down(Button::right), Step::drag(Button::right), Step::up(Button::right)}},
      {"first event touching with the barrel is a right press",
       {{Action::down, true}}, {Step::down(Button::right)}},
      {"a drag with no state presses the left button again",
       {{Action::drag, false}, {Action::drag, false}}, {Step::down(Button::left), Step::drag(Button::left)}},
      {"barrel pressed after the tip lifted is a right click",
       {{Action::down, false}, {Action::up, false}, {Action::hoverMove, true}},
       {Step::down(Button::left), Step::up(Button::left), Step::down(Button::right)}},
      {"hover exit releases a held button",
       {{Action::hoverMove, true}, {Action::hoverExit, true}}, {Step::down(Button::right), Step::up(Button::right)}},
      {"hover exit with nothing held is a move", {{Action::hoverExit, false}}, {Step::move()}},
  };
  for (const Row& row : rows) {
    PenButtons buttons;
    EXPECT_EQ(run(buttons, row.inputs), row.steps) << row.what;
  }
}

TEST(PenButtons, HoverExitForgetsThePointerAndAnyHeldFollowsAllPointers) {
  PenButtons buttons;
  buttons.step(penEvent(Action::down, false, 1));
  buttons.step(penEvent(Action::hoverMove, true, 2));
  EXPECT_TRUE(buttons.anyHeld());
  EXPECT_EQ(buttons.step(penEvent(Action::hoverExit, false, 1)), Step::up(Button::left));
  EXPECT_TRUE(buttons.anyHeld());
  EXPECT_EQ(buttons.pens().count(1), 0u);
  buttons.reset();
  EXPECT_FALSE(buttons.anyHeld());
  EXPECT_TRUE(buttons.pens().empty());
}

// The mapper ends a pen that leaves from contact with an up and a hover exit,
// so no button and no pointer state survive it.
TEST(PenButtons, APenLeavingStraightFromContactLetsGoOfEverything) {
  struct Row {
    const char* what;
    std::vector<Wire::InputPointer> last;
    Step onUp;
    Step onExit;
  };
  Wire::InputPointer leaving{1, Wire::PenTool::pen, 0, 100, 100, 0, 0, 0, 0};
  Wire::InputPointer leavingWithBarrel{1, Wire::PenTool::pen, Wire::PenFlag::barrel, 100, 100, 0, 0, 0, 0};
  const Row rows[] = {
      {"out flags", {leaving}, Step::up(Button::right), Step::move()},
      {"out with the barrel still pressed", {leavingWithBarrel}, Step::drag(Button::right), Step::up(Button::right)},
      {"vanished", {}, Step::up(Button::right), Step::move()},
  };
  for (const Row& row : rows) {
    PenMapper mapper;
    PenButtons buttons;
    const Wire::InputPointer touching{1, Wire::PenTool::pen, Wire::PenFlag::inContact | Wire::PenFlag::barrel,
                                      100, 100, 0, 0, 0, 0};
    for (const auto& e : mapper.mapSample({0, {touching}}, {0, 0, 1000, 1000}, std::nullopt)) buttons.step(e);
    ASSERT_TRUE(buttons.anyHeld());
    const auto events = mapper.mapSample({0, row.last}, {0, 0, 1000, 1000}, std::nullopt);
    ASSERT_EQ(events.size(), 2u) << row.what;
    EXPECT_EQ(events[0].action, Action::up) << row.what;
    EXPECT_EQ(buttons.step(events[0]), row.onUp) << row.what;
    EXPECT_EQ(events[1].action, Action::hoverExit) << row.what;
    EXPECT_EQ(buttons.step(events[1]), row.onExit) << row.what;
    EXPECT_FALSE(buttons.anyHeld()) << row.what;
    EXPECT_TRUE(buttons.pens().empty()) << row.what;
    EXPECT_FALSE(mapper.live().any()) << row.what;
  }
}

TEST(PenFingerArbiter, GraceAfterThePenRefusesAWholeFingerPress) {
  struct Row {
    const char* what;
    uint64_t fingerDownAfterPenUp;
    bool allowed;
  };
  const Row rows[] = {
      {"at once", 0, false},
      {"100 ms", 100 * kMs, false},
      {"just inside", 250 * kMs - 1, false},
      {"at the end of the grace", 250 * kMs, true},
      {"300 ms", 300 * kMs, true},
  };
  for (const Row& row : rows) {
    PenFingerArbiter arbiter;
    EXPECT_FALSE(arbiter.pen(true, kT));
    EXPECT_FALSE(arbiter.pen(false, kT + 10 * kMs));
    const uint64_t down = kT + 10 * kMs + row.fingerDownAfterPenUp;
    EXPECT_EQ(arbiter.finger(Action::down, down), row.allowed) << row.what;
    // Its drags and release share the press's fate, even long after the grace.
    EXPECT_EQ(arbiter.finger(Action::drag, down + 1000 * kMs), row.allowed) << row.what;
    EXPECT_EQ(arbiter.finger(Action::up, down + 1000 * kMs), row.allowed) << row.what;
    EXPECT_FALSE(arbiter.fingerHeld);
    EXPECT_FALSE(arbiter.muted);
    // The next touch after the grace is allowed either way.
    EXPECT_TRUE(arbiter.finger(Action::down, down + 2000 * kMs)) << row.what;
  }
}

TEST(PenFingerArbiter, APenPressReleasesTheFingerOnceAndMutesTheRestOfTheTouch) {
  PenFingerArbiter arbiter;
  EXPECT_TRUE(arbiter.finger(Action::down, kT));
  EXPECT_TRUE(arbiter.fingerHeld);
  EXPECT_TRUE(arbiter.pen(true, kT + kMs));
  EXPECT_FALSE(arbiter.pen(true, kT + 2 * kMs));  // still held: no second release
  EXPECT_FALSE(arbiter.fingerHeld);
  EXPECT_FALSE(arbiter.finger(Action::drag, kT + 3 * kMs));
  EXPECT_FALSE(arbiter.finger(Action::up, kT + 4 * kMs));
  // A new finger while the pen still holds its button is refused too.
  EXPECT_FALSE(arbiter.finger(Action::down, kT + 5 * kMs));
  EXPECT_FALSE(arbiter.finger(Action::up, kT + 6 * kMs));
  EXPECT_FALSE(arbiter.pen(false, kT + 7 * kMs));
  EXPECT_EQ(arbiter.graceUntilNs, kT + 257 * kMs);
  EXPECT_TRUE(arbiter.finger(Action::down, kT + 257 * kMs));
  // Fingers have no hover: nothing to post for it.
  EXPECT_FALSE(arbiter.finger(Action::hoverMove, kT + 258 * kMs));
  arbiter.reset();
  EXPECT_EQ(arbiter, PenFingerArbiter{});
}

TEST(ClickCounter, CountsByTimeAndDistance) {
  constexpr uint64_t kInterval = 500 * kMs;
  struct Press {
    double x, y;
    uint64_t at;
    int64_t count;
  };
  struct Row {
    const char* what;
    std::vector<Press> presses;
  };
  const Row rows[] = {
      {"6 points apart counts on", {{100, 100, kT, 1}, {106, 94, kT + 100 * kMs, 2}}},
      {"6.5 points apart starts again", {{100, 100, kT, 1}, {106.5, 100, kT + 100 * kMs, 1}}},
      {"6.5 points apart vertically", {{100, 100, kT, 1}, {100, 93.5, kT + 100 * kMs, 1}}},
      {"exactly the interval counts on", {{100, 100, kT, 1}, {100, 100, kT + kInterval, 2}}},
      {"past the interval starts again", {{100, 100, kT, 1}, {100, 100, kT + kInterval + 1, 1}}},
      {"triple click", {{100, 100, kT, 1}, {101, 100, kT + 200 * kMs, 2}, {102, 100, kT + 400 * kMs, 3}}},
      {"distance is from the previous press",
       {{100, 100, kT, 1}, {105, 100, kT + 100 * kMs, 2}, {110, 100, kT + 200 * kMs, 3}}},
      {"an earlier time starts again", {{100, 100, kT, 1}, {100, 100, kT - kMs, 1}}},
  };
  for (const Row& row : rows) {
    ClickCounter clicks;
    for (const Press& p : row.presses) EXPECT_EQ(clicks.down(p.x, p.y, p.at, kInterval), p.count) << row.what;
  }
}

TEST(ClickCounter, ResetEndsTheRunButKeepsThePoint) {
  ClickCounter clicks;
  clicks.down(10, 20, kT, 500 * kMs);
  clicks.down(10, 20, kT + kMs, 500 * kMs);
  clicks.reset();
  EXPECT_EQ(clicks.count, 0);
  EXPECT_EQ(clicks.lastDownNs, std::nullopt);
  EXPECT_EQ(clicks.lastX, 10);
  EXPECT_EQ(clicks.lastY, 20);
  EXPECT_EQ(clicks.down(10, 20, kT + 2 * kMs, 500 * kMs), 1);
}

TEST(PenDisplayPolicy, VirtualDisplayRate) {
  struct Row {
    std::optional<std::string_view> override;
    bool highRate;
    double hz;
  };
  const Row rows[] = {
      {std::nullopt, false, 60},
      {std::nullopt, true, 240},
      {"500", false, 240},
      {"12", true, 30},
      {"120", false, 120},
      {"74.5", true, 74.5},
      {"0", true, 240},
      {"0", false, 60},
      {"-90", false, 60},
      {"fast", true, 240},
      {"fast", false, 60},
      {"", false, 60},
      {" 90", false, 60},
      {"90 ", false, 60},
      {"90,5", false, 60},
      {"nan", false, 60},
      {"inf", false, 240},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(PenDisplayPolicy::virtualDisplayHz(60, row.highRate, row.override), row.hz)
        << (row.override ? *row.override : "(unset)") << " high=" << row.highRate;
  }
}

}  // namespace
}  // namespace lumenrail

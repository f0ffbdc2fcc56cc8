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

TEST(PenFingerArbiter, GraceAfterThePenRefusesAWholeFingerPress) {
  for (const bool afterTheGrace : {false, true}) {
    PenFingerArbiter arbiter;
    EXPECT_FALSE(arbiter.pen(true, kT));
    EXPECT_FALSE(arbiter.pen(false, kT + 10 * kMs));
    const uint64_t down = kT + 10 * kMs + 250 * kMs - (afterTheGrace ? 0 : 1);
    EXPECT_EQ(arbiter.finger(Action::down, down), afterTheGrace);
    // Its drags and release share the press's fate, even long after the grace.
    EXPECT_EQ(arbiter.finger(Action::drag, down + 1000 * kMs), afterTheGrace);
    EXPECT_EQ(arbiter.finger(Action::up, down + 1000 * kMs), afterTheGrace);
    EXPECT_FALSE(arbiter.fingerHeld || arbiter.muted);
    EXPECT_TRUE(arbiter.finger(Action::down, down + 2000 * kMs));
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
  const struct {
    const char* what;
    std::vector<Press> presses;
  } rows[] = {
      {"6 points apart counts on", {{100, 100, kT, 1}, {106, 94, kT + 100 * kMs, 2}}},
      {"6.5 points apart starts again", {{100, 100, kT, 1}, {106.5, 100, kT + 100 * kMs, 1}}},
      {"exactly the interval counts on", {{100, 100, kT, 1}, {100, 100, kT + kInterval, 2}}},
      {"triple, distance from the previous press",
       {{100, 100, kT, 1}, {105, 100, kT + 200 * kMs, 2}, {110, 100, kT + 400 * kMs, 3}}},
  };
  for (const auto& row : rows) {
    ClickCounter clicks;
    for (const Press& p : row.presses) EXPECT_EQ(clicks.down(p.x, p.y, p.at, kInterval), p.count) << row.what;
  }
}

// The number itself is read as in NumberTextTest.
TEST(PenDisplayPolicy, VirtualDisplayRate) {
  const struct {
    std::optional<std::string_view> override;
    bool highRate;
    double hz;
  } rows[] = {{std::nullopt, true, 240}, {"500", false, 240}, {"12", true, 30}, {"0", false, 60}};
  for (const auto& row : rows) {
    EXPECT_EQ(PenDisplayPolicy::virtualDisplayHz(60, row.highRate, row.override), row.hz)
        << (row.override ? *row.override : "(unset)");
  }
}

}  // namespace
}  // namespace lumenrail

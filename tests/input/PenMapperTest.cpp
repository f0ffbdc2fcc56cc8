#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "input/InputSilence.hpp"
#include "input/PenMapper.hpp"

namespace lumenrail {
namespace {

using Action = PenMapper::Action;
using Wire::PenFlag::barrel;
using Wire::PenFlag::eraser;
using Wire::PenFlag::inContact;
using Wire::PenFlag::inRange;

constexpr uint32_t kAllAxes = Wire::InputAxis::pressure | Wire::InputAxis::tilt | Wire::InputAxis::orientation;

Wire::InputPointer pointer(uint8_t id, Wire::PenTool tool, uint8_t flags, uint16_t x = 0, uint16_t y = 0) {
  Wire::InputPointer p;
  p.pointerId = id;
  p.tool = tool;
  p.flags = flags;
  p.xNorm = x;
  p.yNorm = y;
  return p;
}

Wire::InputPointer pen(uint8_t id, uint8_t flags, uint16_t x = 0, uint16_t y = 0) {
  return pointer(id, Wire::PenTool::pen, flags, x, y);
}
Wire::InputPointer finger(uint8_t id, uint8_t flags, uint16_t x = 0, uint16_t y = 0) {
  return pointer(id, Wire::PenTool::finger, flags, x, y);
}

Wire::InputSample sample(std::vector<Wire::InputPointer> pointers) { return {7, std::move(pointers)}; }

std::vector<Action> actions(const std::vector<PenMapper::Event>& events) {
  std::vector<Action> out;
  for (const auto& e : events) out.push_back(e.action);
  return out;
}

const PenMapper::TargetRect kScreen{0, 0, 65536, 65536};

// A 16:10 display (1680 x 1050 points at 100, 50) streamed in a 16:9 frame:
// the picture fills 90 % of the frame's width, bars of 5 % left and right.
TEST(PenMapper, UndoesThePillarboxOfA16By10DisplayInA16By9Frame) {
  const PenMapper::TargetRect rect{100, 50, 1680, 1050};
  const PenMapper::FrameSize frame{1920, 1080};
  struct Row {
    uint16_t xNorm, yNorm;
    double x, y;
  };
  const Row rows[] = {
      {0, 0, 100, 50},                              // left bar pins to the left edge
      {1600, 0, 100, 50},                           // still on the bar
      {3277, 0, 100.00711663826793, 50},            // just inside the picture
      {32768, 32768, 939.5142332765358, 574.5080033569848},  // centre maps to centre
      {62258, 65535, 1778.9928833617319, 1099},
      {64000, 65535, 1779, 1099},                   // right bar pins to the right edge
      {65535, 65535, 1779, 1099},
  };
  for (const Row& row : rows) {
    PenMapper mapper;
    const auto events = mapper.mapSample(sample({pen(1, inRange, row.xNorm, row.yNorm)}), rect, frame);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NEAR(events[0].x, row.x, 1e-9) << row.xNorm;
    EXPECT_NEAR(events[0].y, row.y, 1e-9) << row.yNorm;
  }
}

// A 64:27 display in a 16:9 frame: bars of 12.5 % above and below.
TEST(PenMapper, UndoesTheLetterboxOfAWideDisplay) {
  const PenMapper::TargetRect rect{0, 0, 2560, 1080};
  const PenMapper::FrameSize frame{1920, 1080};
  struct Row {
    uint16_t yNorm;
    double y;
  };
  const Row rows[] = {{0, 0}, {8192, 0.00274408077108923}, {32768, 539.5109763230844}, {65535, 1079}};
  for (const Row& row : rows) {
    PenMapper mapper;
    const auto events = mapper.mapSample(sample({pen(1, inRange, 0, row.yNorm)}), rect, frame);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NEAR(events[0].y, row.y, 1e-9) << row.yNorm;
    EXPECT_EQ(events[0].x, 0);
  }
}

TEST(PenMapper, StretchesWithoutAUsableFrameAndPinsDegenerateRectangles) {
  struct Row {
    const char* what;
    PenMapper::TargetRect rect;
    std::optional<PenMapper::FrameSize> frame;
    double x, y;
  };
  const Row rows[] = {
      {"no frame stretches", {10, 20, 101, 51}, std::nullopt, 110, 70},
      {"empty frame stretches", {10, 20, 101, 51}, PenMapper::FrameSize{0, 1080}, 110, 70},
      {"one point wide", {10, 20, 1, 51}, std::nullopt, 10, 70},
      {"zero height", {10, 20, 101, 0}, std::nullopt, 110, 20},
      // With a frame the letterbox applies, and still no point may leave the rectangle.
      {"half a point wide, letterboxed", {10, 20, 0.5, 100}, PenMapper::FrameSize{1920, 1080}, 10, 119},
      {"half a point high, letterboxed", {10, 20, 100, 0.5}, PenMapper::FrameSize{1920, 1080}, 109, 20},
  };
  for (const Row& row : rows) {
    PenMapper mapper;
    const auto events = mapper.mapSample(sample({pen(1, inRange, 65535, 65535)}), row.rect, row.frame);
    ASSERT_EQ(events.size(), 1u) << row.what;
    EXPECT_DOUBLE_EQ(events[0].x, row.x) << row.what;
    EXPECT_DOUBLE_EQ(events[0].y, row.y) << row.what;
  }
}

TEST(PenMapper, PhaseTransitionsGiveTheirActions) {
  struct Row {
    const char* what;
    std::vector<Wire::InputPointer> first;
    std::vector<Wire::InputPointer> second;
    std::vector<Action> secondActions;
  };
  const Row rows[] = {
      {"hover after nothing", {}, {pen(1, inRange)}, {Action::hoverMove}},
      {"hover after hover", {pen(1, inRange)}, {pen(1, inRange)}, {Action::hoverMove}},
      {"contact after hover", {pen(1, inRange)}, {pen(1, inRange | inContact)}, {Action::down}},
      {"contact after nothing", {}, {pen(1, inContact)}, {Action::down}},
      {"contact after contact", {pen(1, inContact)}, {pen(1, inContact)}, {Action::drag}},
      {"hover after contact", {pen(1, inContact)}, {pen(1, inRange)}, {Action::up}},
      {"out after hover", {pen(1, inRange)}, {pen(1, 0)}, {Action::hoverExit}},
      {"out with no track", {}, {pen(1, 0)}, {}},
      // A pen leaving straight from contact also leaves proximity.
      {"pen out after contact", {pen(1, inContact)}, {pen(1, 0)}, {Action::up, Action::hoverExit}},
      {"pen vanishing in contact", {pen(1, inContact)}, {}, {Action::up, Action::hoverExit}},
      {"pen vanishing in hover", {pen(1, inRange)}, {}, {Action::hoverExit}},
      // Fingers have no hover and no proximity.
      {"finger in range only", {}, {finger(2, inRange)}, {}},
      {"finger lifted to in range", {finger(2, inContact)}, {finger(2, inRange)}, {Action::up}},
      {"finger out after contact", {finger(2, inContact)}, {finger(2, 0)}, {Action::up}},
      {"finger vanishing", {finger(2, inContact)}, {}, {Action::up}},
  };
  for (const Row& row : rows) {
    PenMapper mapper;
    mapper.mapSample(sample(row.first), kScreen, std::nullopt);
    EXPECT_EQ(actions(mapper.mapSample(sample(row.second), kScreen, std::nullopt)), row.secondActions) << row.what;
  }
}

TEST(PenMapper, ContactToHoverKeepsAHoverTrack) {
  PenMapper mapper;
  mapper.mapSample(sample({pen(1, inContact, 100, 200)}), kScreen, std::nullopt);
  EXPECT_EQ(actions(mapper.mapSample(sample({pen(1, inRange, 100, 200)}), kScreen, std::nullopt)),
            std::vector<Action>{Action::up});
  EXPECT_EQ(mapper.tracks().at(1).phase, PenMapper::Phase::hover);
  EXPECT_EQ(actions(mapper.mapSample(sample({pen(1, inRange, 110, 200)}), kScreen, std::nullopt)),
            std::vector<Action>{Action::hoverMove});
}

TEST(PenMapper, VanishedPointersAreReleasedAtTheirLastPointInAscendingIdOrder) {
  PenMapper mapper(Wire::InputCaps{kAllAxes, 4096, 10});
  auto tilted = pen(200, inContact | barrel, 300, 400);
  tilted.pressure = 40000;
  tilted.tiltXCentideg = 3000;
  tilted.orientationCentideg = 9000;
  mapper.mapSample(sample({tilted, pen(9, inRange, 10, 20), finger(3, inContact, 50, 60)}), kScreen, std::nullopt);

  const auto events = mapper.mapSample(sample({}), kScreen, std::nullopt);
  // The screen is 65536 points wide: x = 65535 * xNorm / 65535 = xNorm.
  std::vector<PenMapper::Event> expected(4);
  expected[0] = {3, Action::up, false, false, false, 50, 60, 0, 0, 0, 0};
  expected[1] = {9, Action::hoverExit, true, false, false, 10, 20, 0, 0, 0, 0};
  expected[2] = {200, Action::up, true, false, false, 300, 400, 0, 0, 0, 0};
  expected[3] = {200, Action::hoverExit, true, false, false, 300, 400, 0, 0, 0, 0};
  EXPECT_EQ(events, expected);
  EXPECT_TRUE(mapper.tracks().empty());
  EXPECT_FALSE(mapper.live().any());
}

TEST(PenMapper, SampleEventsComeBeforeReleasesOfVanishedPointers) {
  PenMapper mapper;
  mapper.mapSample(sample({pen(1, inRange), pen(5, inContact)}), kScreen, std::nullopt);
  const auto events = mapper.mapSample(sample({pen(5, inContact, 1, 1)}), kScreen, std::nullopt);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].pointerId, 5);
  EXPECT_EQ(events[0].action, Action::drag);
  EXPECT_EQ(events[1].pointerId, 1);
  EXPECT_EQ(events[1].action, Action::hoverExit);
}

TEST(PenMapper, ConvertsAxesByTheDeclaredCaps) {
  struct Row {
    const char* what;
    uint32_t axisMask;
    uint8_t flags;
    uint16_t pressure;
    int16_t tiltX, tiltY;
    uint16_t orientation;
    double expectPressure, expectTiltX, expectTiltY, expectRotation;
  };
  const Row rows[] = {
      {"no pressure axis, contact", 0, inContact, 1234, 0, 0, 0, 1.0, 0, 0, 0},
      {"no pressure axis, hover", 0, inRange, 1234, 0, 0, 0, 0.0, 0, 0, 0},
      {"pressure axis, contact", Wire::InputAxis::pressure, inContact, 32768, 0, 0, 0, 32768 / 65535.0, 0, 0, 0},
      {"pressure axis, hover", Wire::InputAxis::pressure, inRange, 655, 0, 0, 0, 655 / 65535.0, 0, 0, 0},
      {"tilt without its bit", Wire::InputAxis::pressure, inContact, 0, 4500, -4500, 0, 0, 0, 0, 0},
      {"tilt", Wire::InputAxis::tilt, inRange, 0, 4500, -4500, 0, 0, 0.5, -0.5, 0},
      {"tilt beyond 90 degrees clamps", Wire::InputAxis::tilt, inRange, 0, 12000, -32768, 0, 0, 1, -1, 0},
      {"orientation without its bit", 0, inRange, 0, 0, 0, 9000, 0, 0, 0, 0},
      {"orientation 90", Wire::InputAxis::orientation, inRange, 0, 0, 0, 9000, 0, 0, 0, 90},
      {"orientation 360 wraps to 0", Wire::InputAxis::orientation, inRange, 0, 0, 0, 36000, 0, 0, 0, 0},
      {"orientation 359.99", Wire::InputAxis::orientation, inRange, 0, 0, 0, 35999, 0, 0, 0, 359.99},
      {"orientation 655.35 wraps", Wire::InputAxis::orientation, inRange, 0, 0, 0, 65535, 0, 0, 0, 295.35},
  };
  for (const Row& row : rows) {
    PenMapper mapper(Wire::InputCaps{row.axisMask, 0, 0});
    auto p = pen(1, row.flags);
    p.pressure = row.pressure;
    p.tiltXCentideg = row.tiltX;
    p.tiltYCentideg = row.tiltY;
    p.orientationCentideg = row.orientation;
    const auto events = mapper.mapSample(sample({p}), kScreen, std::nullopt);
    ASSERT_EQ(events.size(), 1u) << row.what;
    EXPECT_NEAR(events[0].pressure, row.expectPressure, 1e-12) << row.what;
    EXPECT_NEAR(events[0].tiltX, row.expectTiltX, 1e-12) << row.what;
    EXPECT_NEAR(events[0].tiltY, row.expectTiltY, 1e-12) << row.what;
    EXPECT_NEAR(events[0].rotationDeg, row.expectRotation, 1e-9) << row.what;
  }
}

TEST(PenMapper, ToolsAndFlagsNameTheEvent) {
  PenMapper mapper;
  const auto events = mapper.mapSample(sample({pointer(1, Wire::PenTool::eraser, inContact),
                                               pen(2, inContact | eraser | barrel),
                                               pointer(3, Wire::PenTool::unknown, inRange), finger(4, inContact)}),
                                       kScreen, std::nullopt);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_TRUE(events[0].isPen && events[0].isEraser && !events[0].barrel);
  EXPECT_TRUE(events[1].isPen && events[1].isEraser && events[1].barrel);
  EXPECT_TRUE(events[2].isPen && !events[2].isEraser);
  EXPECT_FALSE(events[3].isPen);
  EXPECT_EQ(mapper.live(), (PenMapper::Live{true, true}));
}

TEST(PenMapper, LiveFollowsTheTracks) {
  PenMapper mapper;
  EXPECT_EQ(mapper.live(), (PenMapper::Live{false, false}));
  mapper.mapSample(sample({pointer(1, Wire::PenTool::unknown, inRange)}), kScreen, std::nullopt);
  EXPECT_EQ(mapper.live(), (PenMapper::Live{true, false}));
  mapper.mapSample(sample({finger(2, inContact)}), kScreen, std::nullopt);
  EXPECT_EQ(mapper.live(), (PenMapper::Live{false, true}));
  EXPECT_TRUE(mapper.live().any());
  mapper.reset();
  EXPECT_FALSE(mapper.live().any());
  EXPECT_TRUE(mapper.mapSample(sample({}), kScreen, std::nullopt).empty());
}

TEST(PenMapper, ReleaseAllReleasesEveryTrackOnce) {
  PenMapper mapper;
  mapper.mapSample(sample({pen(4, inContact, 40, 41), pen(2, inRange, 20, 21), finger(3, inContact, 30, 31)}),
                   kScreen, std::nullopt);
  const auto events = mapper.releaseAll();
  std::vector<PenMapper::Event> expected(3);
  expected[0] = {2, Action::hoverExit, true, false, false, 20, 21, 0, 0, 0, 0};
  expected[1] = {3, Action::up, false, false, false, 30, 31, 0, 0, 0, 0};
  expected[2] = {4, Action::up, true, false, false, 40, 41, 0, 0, 0, 0};
  EXPECT_EQ(events, expected);
  EXPECT_TRUE(mapper.releaseAll().empty());
}

TEST(InputSilence, DeadlineDependsOnWhatIsLive) {
  InputSilence silence;
  const uint64_t t = 7'000'000'000;
  silence.noteInput(t);
  struct Row {
    PenMapper::Live live;
    std::optional<uint64_t> deadline;
  };
  const Row rows[] = {
      {{false, false}, std::nullopt},
      {{true, false}, t + 500'000'000},
      {{false, true}, t + 1'000'000'000},
      {{true, true}, t + 1'000'000'000},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(silence.deadline(row.live), row.deadline);
    if (row.deadline) {
      EXPECT_FALSE(silence.expired(row.live, *row.deadline - 1));
      EXPECT_TRUE(silence.expired(row.live, *row.deadline));
    } else {
      EXPECT_FALSE(silence.expired(row.live, UINT64_MAX));
    }
  }
  // Far along the clock the deadline saturates instead of wrapping into the past.
  silence.noteInput(UINT64_MAX - 10);
  EXPECT_EQ(silence.deadline({true, false}), UINT64_MAX);
  EXPECT_FALSE(silence.expired({true, false}, UINT64_MAX - 5));
}

}  // namespace
}  // namespace lumenrail

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "input/InputSilence.hpp"
#include "input/PenMapper.hpp"

namespace lumenrail {
namespace {

using Action = PenMapper::Action;
using Event = PenMapper::Event;
using Wire::PenFlag::barrel;
using Wire::PenFlag::eraser;
using Wire::PenFlag::inContact;
using Wire::PenFlag::inRange;
using Samples = std::vector<std::vector<Wire::InputPointer>>;

Wire::InputPointer pointer(uint8_t id, Wire::PenTool tool, uint8_t flags, uint16_t x = 0, uint16_t y = 0) {
  return {id, tool, flags, x, y, 0, 0, 0, 0};
}
Wire::InputPointer pen(uint8_t id, uint8_t flags, uint16_t x = 0, uint16_t y = 0) {
  return pointer(id, Wire::PenTool::pen, flags, x, y);
}
Wire::InputPointer finger(uint8_t id, uint8_t flags, uint16_t x = 0, uint16_t y = 0) {
  return pointer(id, Wire::PenTool::finger, flags, x, y);
}

// The screen is 65536 points wide and high: a normalised coordinate maps to
// the same number of points.
const PenMapper::TargetRect kScreen{0, 0, 65536, 65536};

std::vector<Event> map(PenMapper& mapper, std::vector<Wire::InputPointer> pointers) {
  return mapper.mapSample({7, std::move(pointers)}, kScreen, std::nullopt);
}

TEST(PenMapper, UndoesTheLetterboxAndPinsDegenerateRectangles) {
  const PenMapper::FrameSize hd{1920, 1080};
  struct Row {
    const char* what;
    PenMapper::TargetRect rect;
    std::optional<PenMapper::FrameSize> frame;
    uint16_t xNorm, yNorm;
    double x, y;
  };
  // A 16:10 display (1680 x 1050 at 100, 50) in a 16:9 frame fills 90 % of
  // its width with bars of 5 % left and right; a 64:27 one has bars of 12.5 %
  // above and below.
  const PenMapper::TargetRect wide{0, 0, 2560, 1080};
  const PenMapper::TargetRect display{100, 50, 1680, 1050};
  const Row rows[] = {
      {"left bar pins to the edge", display, hd, 1600, 0, 100, 50},
      {"just inside the picture", display, hd, 3277, 0, 100.00711663826793, 50},
      {"centre to centre", display, hd, 32768, 32768, 939.5142332765358, 574.5080033569848},
      {"right bar pins to the edge", display, hd, 64000, 65535, 1779, 1099},
      {"top bar", wide, hd, 0, 8191, 0, 0},
      {"just below the top bar", wide, hd, 0, 8192, 0, 0.00274408077108923},
      {"no frame stretches", {10, 20, 101, 51}, std::nullopt, 65535, 65535, 110, 70},
      {"empty frame stretches", {10, 20, 101, 51}, PenMapper::FrameSize{0, 1080}, 65535, 65535, 110, 70},
      {"one point wide", {10, 20, 1, 51}, std::nullopt, 65535, 65535, 10, 70},
      {"zero high", {10, 20, 101, 0}, std::nullopt, 65535, 65535, 110, 20},
      {"half a point wide, letterboxed", {10, 20, 0.5, 100}, hd, 65535, 65535, 10, 119},
      {"half a point high, letterboxed", {10, 20, 100, 0.5}, hd, 65535, 65535, 109, 20},
  };
  for (const Row& row : rows) {
    PenMapper mapper;
    const auto events = mapper.mapSample({7, {pen(1, inRange, row.xNorm, row.yNorm)}}, row.rect, row.frame);
    ASSERT_EQ(events.size(), 1u) << row.what;
    EXPECT_NEAR(events[0].x, row.x, 1e-9) << row.what;
    EXPECT_NEAR(events[0].y, row.y, 1e-9) << row.what;
  }
}

TEST(PenMapper, PhaseTransitionsGiveTheirActions) {
  struct Row {
    const char* what;
    Samples before;
    std::vector<Wire::InputPointer> last;
    std::vector<Action> actions;
  };
  const Row rows[] = {
      {"hover after nothing", {}, {pen(1, inRange)}, {Action::hoverMove}},
      {"contact after hover", {{pen(1, inRange)}}, {pen(1, inRange | inContact)}, {Action::down}},
      {"contact after nothing", {}, {pen(1, inContact)}, {Action::down}},
      {"contact after contact", {{pen(1, inContact)}}, {pen(1, inContact)}, {Action::drag}},
      {"hover after contact", {{pen(1, inContact)}}, {pen(1, inRange)}, {Action::up}},
      {"hover track kept after contact", {{pen(1, inContact)}, {pen(1, inRange)}}, {pen(1, inRange, 9)},
       {Action::hoverMove}},
      {"out after hover", {{pen(1, inRange)}}, {pen(1, 0)}, {Action::hoverExit}},
      {"out with no track", {}, {pen(1, 0)}, {}},
      // A pen leaving straight from contact also leaves proximity.
      {"pen out after contact", {{pen(1, inContact)}}, {pen(1, 0)}, {Action::up, Action::hoverExit}},
      {"pen vanishing in contact", {{pen(1, inContact)}}, {}, {Action::up, Action::hoverExit}},
      // Fingers have no hover and no proximity.
      {"finger in range only", {}, {finger(2, inRange)}, {}},
      {"finger lifted to in range", {{finger(2, inContact)}}, {finger(2, inRange)}, {Action::up}},
      {"finger vanishing", {{finger(2, inContact)}}, {}, {Action::up}},
  };
  for (const Row& row : rows) {
    PenMapper mapper;
    for (const auto& s : row.before) map(mapper, s);
    std::vector<Action> got;
    for (const Event& e : map(mapper, row.last)) got.push_back(e.action);
    EXPECT_EQ(got, row.actions) << row.what;
  }
}

TEST(PenMapper, VanishedPointersAreReleasedAfterTheSampleInAscendingIdOrder) {
  constexpr uint32_t kAllAxes = Wire::InputAxis::pressure | Wire::InputAxis::tilt | Wire::InputAxis::orientation;
  PenMapper mapper(Wire::InputCaps{kAllAxes, 4096, 10});
  auto tilted = pen(200, inContact | barrel, 300, 400);
  tilted.pressure = 40000;
  tilted.tiltXCentideg = 3000;
  tilted.orientationCentideg = 9000;
  map(mapper, {tilted, pen(9, inRange, 10, 20), finger(3, inContact, 50, 60), pen(5, inContact)});

  // Releases carry the last point and no axes.
  const std::vector<Event> expected = {
      {5, Action::drag, true, false, false, 1, 1, 0, 0, 0, 0},
      {3, Action::up, false, false, false, 50, 60, 0, 0, 0, 0},
      {9, Action::hoverExit, true, false, false, 10, 20, 0, 0, 0, 0},
      {200, Action::up, true, false, false, 300, 400, 0, 0, 0, 0},
      {200, Action::hoverExit, true, false, false, 300, 400, 0, 0, 0, 0},
  };
  EXPECT_EQ(map(mapper, {pen(5, inContact, 1, 1)}), expected);
  EXPECT_EQ(mapper.tracks().size(), 1u);
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
      {"no axes, contact: full pressure", 0, inContact, 1234, 4500, -4500, 9000, 1.0, 0, 0, 0},
      {"no axes, hover", 0, inRange, 1234, 0, 0, 0, 0.0, 0, 0, 0},
      {"pressure", Wire::InputAxis::pressure, inContact, 32768, 0, 0, 0, 32768 / 65535.0, 0, 0, 0},
      {"tilt, clamped past 90 degrees", Wire::InputAxis::tilt, inRange, 0, 4500, -32768, 0, 0, 0.5, -1, 0},
      {"orientation 360 wraps to 0", Wire::InputAxis::orientation, inRange, 0, 0, 0, 36000, 0, 0, 0, 0},
      {"orientation 655.35 wraps", Wire::InputAxis::orientation, inRange, 0, 0, 0, 65535, 0, 0, 0, 295.35},
  };
  for (const Row& row : rows) {
    PenMapper mapper(Wire::InputCaps{row.axisMask, 0, 0});
    auto p = pen(1, row.flags);
    p.pressure = row.pressure;
    p.tiltXCentideg = row.tiltX;
    p.tiltYCentideg = row.tiltY;
    p.orientationCentideg = row.orientation;
    const auto events = map(mapper, {p});
    ASSERT_EQ(events.size(), 1u) << row.what;
    EXPECT_NEAR(events[0].pressure, row.expectPressure, 1e-12) << row.what;
    EXPECT_NEAR(events[0].tiltX, row.expectTiltX, 1e-12) << row.what;
    EXPECT_NEAR(events[0].tiltY, row.expectTiltY, 1e-12) << row.what;
    EXPECT_NEAR(events[0].rotationDeg, row.expectRotation, 1e-9) << row.what;
  }
}

TEST(PenMapper, ToolsAndFlagsNameTheEventAndWhatIsLive) {
  PenMapper mapper;
  EXPECT_EQ(map(mapper, {pointer(3, Wire::PenTool::unknown, inRange)}).at(0).isPen, true);
  EXPECT_EQ(mapper.live(), (PenMapper::Live{true, false}));
  const auto events = map(mapper, {pointer(1, Wire::PenTool::eraser, inContact), pen(2, inContact | eraser | barrel),
                                   finger(4, inContact)});
  ASSERT_EQ(events.size(), 4u);  // and the unknown tool's exit
  EXPECT_TRUE(events[0].isPen && events[0].isEraser && !events[0].barrel);
  EXPECT_TRUE(events[1].isPen && events[1].isEraser && events[1].barrel);
  EXPECT_FALSE(events[2].isPen);
  EXPECT_EQ(mapper.live(), (PenMapper::Live{true, true}));
  map(mapper, {finger(4, inContact)});
  EXPECT_EQ(mapper.live(), (PenMapper::Live{false, true}));
}

TEST(PenMapper, ReleaseAllReleasesEveryTrackOnce) {
  PenMapper mapper;
  map(mapper, {pen(4, inContact, 40, 41), pen(2, inRange, 20, 21), finger(3, inContact, 30, 31)});
  const std::vector<Event> expected = {
      {2, Action::hoverExit, true, false, false, 20, 21, 0, 0, 0, 0},
      {3, Action::up, false, false, false, 30, 31, 0, 0, 0, 0},
      {4, Action::up, true, false, false, 40, 41, 0, 0, 0, 0},
  };
  EXPECT_EQ(mapper.releaseAll(), expected);
  EXPECT_TRUE(mapper.releaseAll().empty());
}

TEST(InputSilence, DeadlineDependsOnWhatIsLive) {
  InputSilence silence;
  const uint64_t t = 7'000'000'000;
  silence.noteInput(t);
  const struct {
    PenMapper::Live live;
    std::optional<uint64_t> deadline;
  } rows[] = {
      {{false, false}, std::nullopt},
      {{true, false}, t + 500'000'000},
      {{false, true}, t + 1'000'000'000},
      {{true, true}, t + 1'000'000'000},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(silence.deadline(row.live), row.deadline);
    if (row.deadline) {
      EXPECT_FALSE(silence.expired(row.live, *row.deadline - 1));
      EXPECT_TRUE(silence.expired(row.live, *row.deadline));
    } else {
      EXPECT_FALSE(silence.expired(row.live, UINT64_MAX));
    }
  }
}

}  // namespace
}  // namespace lumenrail

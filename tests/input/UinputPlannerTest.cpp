#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include "input/UinputEventPlanner.hpp"

namespace lumenrail {
namespace {

using W = UinputEventPlanner::Write;
using D = UinputEventPlanner::Device;

InputEvent proximity(bool enter, int64_t type, int64_t capabilities, Point at = {}) {
  InputEvent e;
  e.type = 24;
  e.location = at;
  e.intFields = {{36, capabilities}, {37, type}, {38, enter ? 1 : 0}};
  return e;
}

InputEvent tabletPoint(int64_t type, Point at, double pressure, double tiltX = 0, double rotation = 0) {
  InputEvent e;
  e.type = type;
  e.location = at;
  e.intFields = {{7, 1}};
  e.doubleFields = {{19, pressure}, {20, tiltX}, {21, 0}, {22, rotation}};
  return e;
}

W tablet(uint16_t type, uint16_t code, int32_t value) { return {D::tablet, type, code, value}; }
const W kTabletSyn{D::tablet, EV_SYN, SYN_REPORT, 0};

// Hand-worked frames on a 1920x1080 screen: 32768 axis units over 1920 and
// 1080 pixels, aimed at the middle of each pixel.
TEST(UinputEventPlannerTest, PenStrokeFramesOnAFixedAxisRange) {
  UinputEventPlanner plan(Size{1920, 1080});
  EXPECT_EQ(*plan.plan(proximity(true, 1, 0x447, {100, 50})),
            (std::vector<W>{tablet(EV_KEY, BTN_TOOL_PEN, 1), tablet(EV_ABS, ABS_X, 1715), tablet(EV_ABS, ABS_Y, 1532),
                            kTabletSyn}));
  // Client pressure 0.5 lands on the range above the tip threshold.
  EXPECT_EQ(*plan.plan(tabletPoint(1, {100.4, 5000}, 0.5, -0.5)),
            (std::vector<W>{tablet(EV_ABS, ABS_X, 1722), tablet(EV_ABS, ABS_Y, 32767),
                            tablet(EV_ABS, ABS_PRESSURE, 2212), tablet(EV_ABS, ABS_TILT_X, -45),
                            tablet(EV_ABS, ABS_TILT_Y, 0), tablet(EV_KEY, BTN_TOUCH, 1), kTabletSyn}));
  EXPECT_EQ(*plan.plan(tabletPoint(2, {100, 50}, 0.5)),
            (std::vector<W>{tablet(EV_ABS, ABS_X, 1715), tablet(EV_ABS, ABS_Y, 1532), tablet(EV_ABS, ABS_PRESSURE, 0),
                            tablet(EV_ABS, ABS_TILT_X, 0), tablet(EV_ABS, ABS_TILT_Y, 0),
                            tablet(EV_KEY, BTN_TOUCH, 0), kTabletSyn}));
  // The barrel's right press is BTN_STYLUS2, with no tip.
  EXPECT_EQ(*plan.plan(tabletPoint(3, {100, 50}, 0)),
            (std::vector<W>{tablet(EV_ABS, ABS_X, 1715), tablet(EV_ABS, ABS_Y, 1532), tablet(EV_ABS, ABS_PRESSURE, 0),
                            tablet(EV_ABS, ABS_TILT_X, 0), tablet(EV_ABS, ABS_TILT_Y, 0),
                            tablet(EV_KEY, BTN_STYLUS2, 1), kTabletSyn}));
  // The eraser: the pen tool and its button go in a frame of their own; this
  // client reports rotation, which wraps at a full turn.
  EXPECT_EQ(*plan.plan(proximity(true, 3, 0x2447)),
            (std::vector<W>{tablet(EV_KEY, BTN_STYLUS2, 0), tablet(EV_ABS, ABS_PRESSURE, 0),
                            tablet(EV_KEY, BTN_TOOL_PEN, 0), kTabletSyn, tablet(EV_KEY, BTN_TOOL_RUBBER, 1),
                            tablet(EV_ABS, ABS_X, 8), tablet(EV_ABS, ABS_Y, 15), kTabletSyn}));
  EXPECT_EQ(*plan.plan(tabletPoint(6, {0, 0}, 0, 0, 359.96)),
            (std::vector<W>{tablet(EV_ABS, ABS_X, 8), tablet(EV_ABS, ABS_Y, 15), tablet(EV_ABS, ABS_PRESSURE, 328),
                            tablet(EV_ABS, ABS_TILT_X, 0), tablet(EV_ABS, ABS_TILT_Y, 0), tablet(EV_ABS, ABS_Z, 0),
                            tablet(EV_KEY, BTN_TOUCH, 1), kTabletSyn}));
  EXPECT_EQ(*plan.plan(proximity(false, 3, 0x2447)),
            (std::vector<W>{tablet(EV_KEY, BTN_TOUCH, 0), tablet(EV_ABS, ABS_PRESSURE, 0),
                            tablet(EV_KEY, BTN_TOOL_RUBBER, 0), kTabletSyn}));
  EXPECT_TRUE(plan.plan(proximity(false, 3, 0x2447))->empty());
}

TEST(UinputEventPlannerTest, FingerMouseWheelsZoomAndKeys) {
  UinputEventPlanner plan(Size{800, 600});
  InputEvent down;
  down.type = 1;
  down.location = {10, 20};
  EXPECT_EQ(*plan.plan(down), (std::vector<W>{{D::pointer, EV_ABS, ABS_X, 430}, {D::pointer, EV_ABS, ABS_Y, 1119},
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

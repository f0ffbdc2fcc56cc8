// The pen on GNOME as a uinput tablet: the device follows the streamed
// monitor through GNOME's per-device setting (kept in memory here) and its
// axes span that monitor alone.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <map>

#include "desktop/gnome/GnomePenTablet.hpp"
#include "input/InputEvent.hpp"
#include "input/UinputInputSink.hpp"

namespace lumenrail {
namespace {

using D = UinputEventPlanner::Device;
using Output = GnomeTabletMapping::Output;

// The tablet's last absolute values.
class TabletAxes final : public UinputInputSink::Devices {
 public:
  explicit TabletAxes(std::shared_ptr<std::map<uint16_t, int32_t>> abs) : abs_(std::move(abs)) {}
  bool write(D d, uint16_t type, uint16_t code, int32_t value) override {
    if (d == D::tablet && type == EV_ABS) (*abs_)[code] = value;
    return d == D::tablet;
  }

 private:
  std::shared_ptr<std::map<uint16_t, int32_t>> abs_;
};

InputEvent hover(Point at) {
  InputEvent e;
  e.type = EventType::mouseMoved;
  e.location = at;
  e.intFields[EventField::mouseSubtype] = EventValue::subtypeTabletPoint;
  return e;
}

TEST(GnomePenTablet, EachStrokeMapsTheTabletToTheStreamedMonitorAndSpansItsAreaAndTheUsersMappingComesBack) {
  EXPECT_EQ(GnomeTabletMapping::pathFor(0x4c52, 1), "/org/gnome/desktop/peripherals/tablets/4c52:0001/");
  std::string why;
  auto mapping = GnomeTabletMapping::open(0x4c52, 1, &why, GnomeTabletMapping::Store::memory);
  if (!mapping) GTEST_SKIP() << why;
  GnomeTabletMapping* setting = mapping.get();
  auto abs = std::make_shared<std::map<uint16_t, int32_t>>();
  {
    GnomePenTablet pen(UinputInputSink::create(std::make_unique<TabletAxes>(abs), Size{1920, 1080}, nullptr),
                       std::move(mapping));
    // A virtual monitor right of the main one: its middle is the middle of the axes.
    const Output right{"MetaVendor", "Virtual remote monitor", "0x1"};
    ASSERT_TRUE(pen.post(hover({1920 + 640, 360}), Rect{1920, 0, 1280, 720}, right));
    EXPECT_EQ(setting->current(), right);
    EXPECT_EQ((*abs)[ABS_X], 16396);  // floor(640.5 / 1280 * 32768)
    EXPECT_EQ((*abs)[ABS_Y], 16406);  // floor(360.5 / 720 * 32768)

    // A new mode re-creates the monitor, now main: the mapping and the span follow.
    const Output main{"MetaVendor", "Virtual remote monitor", "0x2"};
    ASSERT_TRUE(pen.post(hover({400, 300}), Rect{0, 0, 800, 600}, main));
    EXPECT_EQ(setting->current(), main);
    EXPECT_EQ((*abs)[ABS_X], 16404);
    EXPECT_EQ((*abs)[ABS_Y], 16411);
  }
  // A device the user never mapped goes back to automatic.
  auto again = GnomeTabletMapping::open(0x4c52, 1, &why, GnomeTabletMapping::Store::memory);
  again->mapTo({"A", "B", "C"});
  again->restore();
  EXPECT_EQ(again->current(), (Output{"", "", ""}));
}

}  // namespace
}  // namespace lumenrail

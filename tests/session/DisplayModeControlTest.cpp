// Extend, mirror and pen high rate over the fake desktop's displays.
#include <gtest/gtest.h>

#include "session/DisplayModeControl.hpp"
#include "support/EventLog.hpp"
#include "support/FakeDesktopEnvironment.hpp"

namespace lumenrail {
namespace {

using Mode = DisplayModeControl::Mode;
constexpr Mode kMode{1280, 720, 60};

struct DisplayRig {
  test::EventLog log;
  std::shared_ptr<test::FakeDesktopEnvironment> desktop = std::make_shared<test::FakeDesktopEnvironment>();
  std::unique_ptr<DisplayModeControl> display;

  explicit DisplayRig(bool mirror) {
    display = std::make_unique<DisplayModeControl>(DisplayModeControl::Config{
        desktop, [this](const std::string& line) { log.add(line); }, mirror, false, std::nullopt, kMode});
  }
};

TEST(DisplayModeControl, ExtendFallsBackToMirrorWhenTheVirtualDisplayCannotBeMade) {
  DisplayRig rig(false);
  rig.desktop->displays->failAdds = true;
  rig.display->start(kMode);
  EXPECT_TRUE(rig.display->mirroring());
  EXPECT_EQ(rig.display->prepareCapture(), 0u);
  EXPECT_TRUE(rig.log.contains(
      "[m2] WARN: virtual display create failed — falling back to main display capture (mirror)"));
}

TEST(DisplayModeControl, MirrorRemovesTheVirtualDisplayAndExtendMakesANewOne) {
  DisplayRig rig(false);
  rig.display->start(kMode);
  const uint32_t first = rig.display->displayID();
  ASSERT_NE(first, 0u);
  EXPECT_TRUE(rig.log.contains("[m2] virtual display " + std::to_string(first) + " created (1280x720@60)"));
  EXPECT_EQ(rig.display->prepareCapture(), first);

  EXPECT_TRUE(rig.display->changes(true));
  rig.display->switchTo(true, kMode, false);
  EXPECT_TRUE(rig.display->mirroring());
  EXPECT_FALSE(rig.desktop->displays->bounds(first).has_value());
  EXPECT_FALSE(rig.display->changes(true));
  EXPECT_TRUE(rig.log.contains("[m2] display mode already mirror — no change"));

  rig.display->switchTo(false, kMode, false);
  EXPECT_FALSE(rig.display->mirroring());
  EXPECT_NE(rig.display->displayID(), 0u);
  EXPECT_NE(rig.display->displayID(), first);
  rig.display->dropVirtualDisplay();
}

TEST(DisplayModeControl, PenHighRateMakesTheVirtualDisplayMainOnlyWithAClient) {
  DisplayRig rig(false);
  rig.display->start(kMode);
  const uint32_t vd = rig.display->displayID();
  rig.display->setPenHighRate(true, kMode, false);
  EXPECT_FALSE(rig.display->penHighRateApplied());
  EXPECT_TRUE(rig.log.contains("[pen] high-rate pen mode ON"));

  rig.display->promote(true, kMode);
  EXPECT_TRUE(rig.display->penHighRateApplied());
  EXPECT_EQ(rig.desktop->displays->mainDisplay(), vd);
  EXPECT_TRUE(rig.log.contains("[pen] high-rate: Lumenrail display is now main at 240 Hz"));
  EXPECT_EQ(rig.display->label(kMode), "1280x720@240Hz display, 60 fps stream");

  rig.display->setPenHighRate(false, kMode, true);
  EXPECT_FALSE(rig.display->penHighRateApplied());
  EXPECT_EQ(rig.desktop->displays->mainDisplay(), 1u);
  rig.display->dropVirtualDisplay();
}

}  // namespace
}  // namespace lumenrail

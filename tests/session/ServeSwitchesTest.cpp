// The session's switches as the entry reads them, once.
#include <gtest/gtest.h>

#include "session/ServeSwitches.hpp"

namespace lumenrail {
namespace {

TEST(ServeSwitches, EnvironmentFlagsAreOnWhenSetNotEmptyAndNotZero) {
  for (const auto& [value, on] : std::vector<std::pair<std::string, bool>>{{"1", true}, {"yes", true}, {"", false},
                                                                            {"0", false}, {"00", true}}) {
    const auto s = ServeSwitches::read({}, {{"LUMENRAIL_NO_PACER", value}, {"LUMENRAIL_CAPTURE_BGRA", value}});
    EXPECT_EQ(s.bypassPacing, on) << value;
    EXPECT_EQ(s.captureBgra, on) << value;
  }
  const auto none = ServeSwitches::read({}, {});
  EXPECT_FALSE(none.bypassPacing || none.captureBgra || none.ink || none.audio);
  EXPECT_EQ(none.faultCaptureTimeouts, 0);
  EXPECT_EQ(none.virtualDisplayHz, std::nullopt);
  EXPECT_EQ(none.penRateHz, std::nullopt);
  EXPECT_FALSE(none.inputTrace);
}

TEST(ServeSwitches, PenRateIsKeptAsGivenAndAnInputTraceValueEvenEmptyTurnsItOn) {
  const auto s = ServeSwitches::read({}, {{"LUMENRAIL_PEN_RATE_HZ", "junk"}, {"LUMENRAIL_INPUT_TRACE", ""}});
  EXPECT_EQ(s.penRateHz, std::optional<std::string>("junk"));
  EXPECT_TRUE(s.inputTrace);
}

TEST(ServeSwitches, IntegersAndTheInkRectangleTakeTheirDefaultsWhenMalformed) {
  const auto s = ServeSwitches::read({}, {{"LUMENRAIL_PEN_TO_INK", "1"},
                                          {"LUMENRAIL_INK_RECT_X", "+10"},
                                          {"LUMENRAIL_INK_RECT_Y", "-4"},
                                          {"LUMENRAIL_INK_RECT_W", "12px"},
                                          {"LR_FAULT_CAPTURE_TIMEOUTS", "3"},
                                          {"LUMENRAIL_VD_HZ", "120"}});
  ASSERT_TRUE(s.ink.has_value());
  EXPECT_EQ(*s.ink, (InkObserver::Config{10, -4, 96, 96, 160.0, 80.0}));
  EXPECT_EQ(s.faultCaptureTimeouts, 3);
  EXPECT_EQ(s.virtualDisplayHz, std::optional<std::string>("120"));
  EXPECT_EQ(ServeSwitches::read({}, {{"LR_FAULT_CAPTURE_TIMEOUTS", "++2"}}).faultCaptureTimeouts, 0);
}

TEST(ServeSwitches, AudioSwitchesAreWholeArguments) {
  const auto s = ServeSwitches::read({"--m2", "--audio-sck", "--audio-aac"}, {});
  EXPECT_FALSE(s.audio);
  EXPECT_TRUE(s.audioForceSck);
  EXPECT_TRUE(s.audioForceAac);
  EXPECT_TRUE(ServeSwitches::read({"--audio"}, {}).audio);
}

}  // namespace
}  // namespace lumenrail

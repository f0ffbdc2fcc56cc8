#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "wire/ClientModePolicy.hpp"
#include "wire/MainDeviceArbiter.hpp"
#include "wire/SmallLanePolicy.hpp"

namespace lumenrail {
namespace {

using Mode = ClientModePolicy::Mode;

// --- ClientModePolicy ------------------------------------------------------

struct SanitizeCase {
  uint32_t width, height, refreshHz;
  std::optional<Mode> expected;
};

TEST(ClientModePolicy, SanitizesRequestsToServableModes) {
  const SanitizeCase cases[] = {
      // A zero side cannot be served.
      {0, 1080, 60, std::nullopt},
      {1920, 0, 60, std::nullopt},
      {0, 0, 0, std::nullopt},
      // Ordinary requests; 0 Hz means the default rate.
      {1920, 1080, 0, Mode{1920, 1088, 60}},
      {1280, 720, 30, Mode{1280, 720, 30}},
      {2560, 1600, 120, Mode{2560, 1600, 120}},
      // Clamped to 16...4096 and the rate to 24...120.
      {8, 8, 200, Mode{16, 16, 120}},
      {4100, 4100, 24, Mode{4096, 4096, 24}},
      {1, 1, 1, Mode{16, 16, 24}},
      {640, 480, 23, Mode{640, 480, 24}},
      {640, 480, 121, Mode{640, 480, 120}},
      // Requests at the top of the unsigned range clamp; they never wrap to tiny sizes.
      {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, Mode{2880, 2880, 60}},
      {0xFFFFFFF9, 0x80000000, 0x80000000, Mode{2880, 2880, 60}},
      // Above 3840x2160@60 worth of pixels a second: the rate comes down to 60 Hz,
      // then both sides shrink by one factor.
      {3840, 2160, 60, Mode{3840, 2160, 60}},
      {3840, 2160, 120, Mode{3840, 2160, 60}},
      {2732, 2048, 120, Mode{2736, 2048, 60}},
      {4096, 4096, 120, Mode{2880, 2880, 60}},
      {4096, 2160, 60, Mode{3952, 2080, 60}},
      {4096, 16, 120, Mode{4096, 16, 120}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "@" + std::to_string(c.refreshHz));
    EXPECT_EQ(ClientModePolicy::sanitize(Wire::ClientMode{c.width, c.height, c.refreshHz}), c.expected);
  }
}

TEST(ClientModePolicy, RoundsEachSideToTheNearestMultipleOf16HalvesUp) {
  const std::pair<uint32_t, int64_t> cases[] = {
      {1080, 1088}, {999, 992}, {1000, 1008}, {17, 16}, {23, 16}, {24, 32}, {5000, 4096},
      {4087, 4080}, {4088, 4096}, {4095, 4096}, {4096, 4096}, {16, 16}, {15, 16},
  };
  for (const auto& [requested, expected] : cases) {
    SCOPED_TRACE(requested);
    const auto asWidth = ClientModePolicy::sanitize({requested, 720, 60});
    const auto asHeight = ClientModePolicy::sanitize({1280, requested, 60});
    ASSERT_TRUE(asWidth && asHeight);
    EXPECT_EQ(asWidth->width, expected);
    EXPECT_EQ(asHeight->height, expected);
  }
}

// --- SmallLanePolicy -------------------------------------------------------

TEST(SmallLanePolicy, FitsComparesBothSidesButNotTheRate) {
  const Mode stream{2560, 1600, 60};
  EXPECT_TRUE(SmallLanePolicy::fits(stream, {2560, 1600, 30}));
  EXPECT_TRUE(SmallLanePolicy::fits(stream, {2732, 2048, 24}));
  EXPECT_FALSE(SmallLanePolicy::fits(stream, {2732, 1599, 120}));
  EXPECT_FALSE(SmallLanePolicy::fits(stream, {2559, 2048, 120}));
}

struct PlanCase {
  const char* name;
  Mode stream;
  std::optional<int32_t> primary;
  std::map<int32_t, Mode> panels;
  std::optional<SmallLanePolicy::Plan> expected;
};

TEST(SmallLanePolicy, PlansOneStreamThatFitsEverySmallerPanel) {
  const Mode stream{2560, 1600, 60};
  const PlanCase cases[] = {
      {"one smaller panel at half size", stream, 3, {{3, stream}, {4, {1280, 800, 30}}},
       SmallLanePolicy::Plan{{1280, 800, 30}, {4}}},
      // 1024/2560 = 0.4 beats 768/1600 = 0.48 and 1280/2560 = 0.5; the slowest rate wins.
      {"two smaller panels", stream, 3, {{3, stream}, {4, {1280, 800, 30}}, {6, {1024, 768, 60}}},
       SmallLanePolicy::Plan{{1024, 640, 30}, {4, 6}}},
      // Wider but lower: scale 1500/1600 = 0.9375 gives 2400 x 1500, then 1500 rounds down to 1488.
      {"wider but lower panel", stream, std::nullopt, {{5, {2732, 1500, 60}}},
       SmallLanePolicy::Plan{{2400, 1488, 60}, {5}}},
      {"equal panel", stream, std::nullopt, {{5, stream}}, std::nullopt},
      {"larger panel", stream, std::nullopt, {{5, {2732, 2048, 120}}}, std::nullopt},
      {"no clients", stream, std::nullopt, {}, std::nullopt},
      {"only the primary is smaller", stream, 4, {{4, {1280, 800, 30}}, {5, {2732, 2048, 60}}}, std::nullopt},
      // The primary's own small panel does not shrink the lane of the others.
      {"primary excluded from the factor", stream, 4, {{4, {640, 400, 24}}, {5, {1280, 800, 60}}},
       SmallLanePolicy::Plan{{1280, 800, 60}, {5}}},
      {"without a primary every smaller panel is a member", stream, std::nullopt,
       {{4, {1280, 800, 30}}, {5, {1280, 800, 60}}}, SmallLanePolicy::Plan{{1280, 800, 30}, {4, 5}}},
      // 2048 x 1024 at scale 1/64 is 32 x 16: 32 stays, 16 is below 32 and becomes 16.
      {"sides below 32 become 16", {2048, 1024, 60}, std::nullopt, {{7, {32, 1024, 60}}},
       SmallLanePolicy::Plan{{32, 16, 60}, {7}}},
      {"tiny panel", {1920, 1080, 60}, std::nullopt, {{7, {16, 16, 60}}}, SmallLanePolicy::Plan{{16, 16, 60}, {7}}},
      // A non-multiple of 16 scales then rounds down: 0.5 x 1366 = 683 -> 672.
      {"rounds down to 16", {1366, 768, 60}, std::nullopt, {{7, {683, 384, 60}}},
       SmallLanePolicy::Plan{{672, 384, 60}, {7}}},
      {"rate never below 24", stream, std::nullopt, {{4, {1280, 800, 15}}}, SmallLanePolicy::Plan{{1280, 800, 24}, {4}}},
      {"zero-width stream", {0, 1600, 60}, std::nullopt, {{4, {1280, 800, 30}}}, std::nullopt},
      {"negative stream", {2560, -1, 60}, std::nullopt, {{4, {1280, 800, 30}}}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SmallLanePolicy::plan(c.stream, c.primary, c.panels), c.expected);
  }
}

// Panels normally come sanitised, but the planner must stay defined whatever
// it is handed: no out-of-range float-to-integer conversion, no overflow.
TEST(SmallLanePolicy, StaysDefinedForNonsensicalSizes) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

  EXPECT_EQ(SmallLanePolicy::plan({1920, 1080, 60}, std::nullopt, {{4, {0, 0, 0}}}),
            (SmallLanePolicy::Plan{{16, 16, 24}, {4}}));
  EXPECT_EQ(SmallLanePolicy::plan({1920, 1080, 60}, std::nullopt, {{4, {kMin, kMin, kMin}}}),
            (SmallLanePolicy::Plan{{16, 16, 24}, {4}}));
  EXPECT_EQ(SmallLanePolicy::plan({1, kMax, 60}, std::nullopt, {{4, {kMin, 1, 60}}}),
            (SmallLanePolicy::Plan{{16, 16, 60}, {4}}));

  // A ratio that rounds to 1.0 at the top of the range: scale x width is 2^63,
  // one past the largest integer; the side keeps the stream's own bound.
  const auto huge = SmallLanePolicy::plan({kMax, kMax, kMax}, std::nullopt, {{4, {kMax - 1, kMax, kMax}}});
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->mode.width, kMax & ~int64_t{15});
  EXPECT_EQ(huge->mode.height, kMax & ~int64_t{15});
  EXPECT_EQ(huge->mode.fps, kMax);
}

// --- MainDeviceArbiter -----------------------------------------------------

TEST(MainDeviceArbiter, DecidesWhoseModeApplies) {
  using MainDeviceArbiter::Decision;
  EXPECT_EQ(MainDeviceArbiter::decide<int32_t>(std::nullopt, 9), Decision::adopt);
  EXPECT_EQ(MainDeviceArbiter::decide<int32_t>(9, 9), Decision::honor);
  EXPECT_EQ(MainDeviceArbiter::decide<int32_t>(9, 7), Decision::ignore);
  EXPECT_EQ(MainDeviceArbiter::decide<std::string>(std::string("phone"), "tablet"), Decision::ignore);
  EXPECT_EQ(MainDeviceArbiter::decide<std::string>(std::string("phone"), "phone"), Decision::honor);
}

TEST(MainDeviceArbiter, PromotesTheLowestLiveClientWithAKnownMode) {
  EXPECT_EQ(MainDeviceArbiter::promote<int32_t>({7, 9, 12}, {12, 9}), 9);
  EXPECT_EQ(MainDeviceArbiter::promote<int32_t>({7, 9, 12}, {}), 7);
  EXPECT_EQ(MainDeviceArbiter::promote<int32_t>({}, {12, 9}), std::nullopt);
  // A known mode of a client that has left does not make it the owner.
  EXPECT_EQ(MainDeviceArbiter::promote<int32_t>({7, 9}, {3}), 7);
  EXPECT_EQ(MainDeviceArbiter::promote<std::string>({"b", "c", "a"}, {"c", "b"}), "b");
}

}  // namespace
}  // namespace lumenrail

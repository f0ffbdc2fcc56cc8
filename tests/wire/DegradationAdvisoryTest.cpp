// The advisory: hysteresis over evicted frames, its lines and its packet.
#include <gtest/gtest.h>

#include "wire/DegradationAdvisory.hpp"

namespace lumenrail {
namespace {

TEST(DegradationAdvisory, ThreeBadTicksRaiseItThreeGoodOnesClearItAndTheFlagsFollow) {
  std::vector<std::string> lines;
  DegradationAdvisory advisory([&](const std::string& l) { lines.push_back(l); });
  for (int i = 0; i < 2; ++i) {
    advisory.noteLost(5);
    advisory.noteLost(3);  // counts add up within one tick
    EXPECT_EQ(advisory.tick(), std::nullopt);
  }
  EXPECT_EQ(advisory.tick(), std::nullopt) << "a quiet tick breaks the streak";
  for (int i = 0; i < 2; ++i) {
    advisory.noteLost(8);
    EXPECT_EQ(advisory.tick(), std::nullopt);
  }
  advisory.noteLost(9);
  EXPECT_EQ(advisory.tick(), true);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "ADVISORY: encode/latency degradation detected (9 frame(s)/s evicted for 3s) — flags bit1 set");

  EXPECT_EQ(*advisory.packet(1), (Bytes{0x08, 4, 0, 0, 0, 1, 3, 8, 0})) << "not told until the flag is set";
  EXPECT_TRUE(advisory.setDegraded(true));
  EXPECT_FALSE(advisory.setDegraded(true));
  EXPECT_EQ(*advisory.packet(3), (Bytes{0x08, 4, 0, 0, 0, 3, 3, 8, 3}));

  EXPECT_EQ(advisory.tick(), std::nullopt);
  EXPECT_EQ(advisory.tick(), std::nullopt);
  EXPECT_EQ(advisory.tick(), false);
  EXPECT_EQ(lines.back(), "ADVISORY: encode/latency recovered — flags bit1 cleared");

  // Degraded again, then every client leaves: the state is forgotten at once.
  for (int i = 0; i < 3; ++i) {
    advisory.noteLost(8);
    advisory.tick();
  }
  advisory.noteLost(8);
  EXPECT_TRUE(advisory.reset());
  EXPECT_EQ(lines.back(), "ADVISORY: degradation state reset (no clients) — flags bit1 cleared");
  EXPECT_FALSE(advisory.reset());
  EXPECT_EQ(advisory.tick(), std::nullopt) << "evictions before the reset are not counted";
}

}  // namespace
}  // namespace lumenrail

// The repeat filter of connection notices, on an injected uptime clock.
#include <gtest/gtest.h>

#include <string>

#include "settings/ConnectAnnouncer.hpp"

namespace lumenrail {
namespace {

constexpr uint64_t kSecond = kNsPerSecond;

struct ManualClock {
  uint64_t now = 1000 * kSecond;
  NowNs fn() {
    return [this] { return now; };
  }
};

TEST(ConnectAnnouncerRules, QuietPeriodPerDeviceAndLink) {
  ManualClock clock;
  ConnectAnnouncer a(clock.fn());
  EXPECT_EQ(ConnectAnnouncer::quietNs, 30 * kSecond);
  EXPECT_TRUE(a.admit("Pad", true));
  clock.now += 29 * kSecond + 999'999'999;
  EXPECT_FALSE(a.admit("Pad", true));
  EXPECT_TRUE(a.admit("Pad", false));  // the same device on a cable counts apart
  EXPECT_TRUE(a.admit("Phone", true));
  clock.now = 1030 * kSecond;  // exactly 30 s after the first admission
  EXPECT_TRUE(a.admit("Pad", true));
  EXPECT_FALSE(a.admit("Pad", false));  // the cable one was admitted 1 ns short of 30 s ago

  // A refusal does not move the stored time; a clock behind it is still quiet.
  clock.now = 1059 * kSecond;
  EXPECT_FALSE(a.admit("Pad", true));
  clock.now = 1000 * kSecond;
  EXPECT_FALSE(a.admit("Pad", true));
  clock.now = 1060 * kSecond;
  EXPECT_TRUE(a.admit("Pad", true));
}

TEST(ConnectAnnouncerRules, PastSixtyFourKeysEverythingIsForgotten) {
  ManualClock clock;
  ConnectAnnouncer a(clock.fn());
  EXPECT_TRUE(a.admit("recent", true));
  clock.now += 5 * kSecond;
  for (int i = 0; i < 63; ++i) EXPECT_TRUE(a.admit("d" + std::to_string(i), true));
  EXPECT_FALSE(a.admit("recent", true));  // 64 keys: nothing forgotten yet
  EXPECT_TRUE(a.admit("d63", true));      // the 65th key
  EXPECT_FALSE(a.admit("recent", true));
  EXPECT_TRUE(a.admit("one-more", true));  // 65 stored: the map empties first
  EXPECT_TRUE(a.admit("recent", true));
  EXPECT_FALSE(a.admit("recent", true));
}

}  // namespace
}  // namespace lumenrail

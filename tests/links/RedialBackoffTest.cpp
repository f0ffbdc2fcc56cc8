#include <gtest/gtest.h>

#include <vector>

#include "links/RedialBackoff.hpp"

namespace lumenrail {
namespace {

constexpr uint64_t kMs = kNsPerMs;

TEST(RedialBackoff, QuickEndsDoubleTheWaitToTheCapAndALinkThatLivedResetsIt) {
  RedialBackoff backoff(250 * kMs);
  EXPECT_TRUE(backoff.tellsNext());
  std::vector<uint64_t> waits;
  int told = 0;
  int caps = 0;
  for (int i = 0; i < 8; ++i) {
    const auto end = backoff.ended(3 * kMs);
    waits.push_back(end.waitNs / kMs);
    told += end.tell;
    caps += end.reachedCap;
    EXPECT_FALSE(backoff.tellsNext());
  }
  EXPECT_EQ(waits, (std::vector<uint64_t>{250, 500, 1000, 2000, 4000, 8000, 8000, 8000}));
  EXPECT_EQ(told, 1) << "only the first quick end of a run";
  EXPECT_EQ(caps, 1);
  EXPECT_EQ(backoff.quickEnds(), 8);

  // Two more after the cap's line, then a link that lived: they are told with its end.
  const auto healthy = backoff.ended(RedialBackoff::kHealthyNs);
  EXPECT_EQ(healthy.untold, 2);
  EXPECT_TRUE(healthy.tell);
  EXPECT_EQ(healthy.waitNs, 0u);
  EXPECT_TRUE(backoff.tellsNext());
  EXPECT_EQ(backoff.ended(RedialBackoff::kHealthyNs - 1).waitNs, 250 * kMs);
  backoff.ended(0);
  EXPECT_EQ(backoff.takeUntold(), 1);
  EXPECT_EQ(backoff.takeUntold(), 0);
}

}  // namespace
}  // namespace lumenrail

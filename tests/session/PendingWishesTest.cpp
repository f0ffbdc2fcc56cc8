#include "session/PendingWishes.hpp"

#include <gtest/gtest.h>

#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

using Mode = PendingWishes::Mode;
using Wishes = std::vector<std::pair<int32_t, Mode>>;

TEST(PendingWishes, HandsOverTheNewestOfEachKindOncePerSettleAndNothingOfALeaver) {
  auto timers = std::make_shared<test::ManualExecutor>();
  int due = 0;
  PendingWishes wishes(timers, [&] { ++due; });
  wishes.modeAsked(7, {1280, 720, 30});
  wishes.modeAsked(9, {800, 608, 30});
  wishes.codecChanged();
  timers->advance(PendingWishes::kSettleNs / 2);
  // Later wishes of the burst neither push the settle back nor add hand-overs.
  for (int i = 0; i < 1000; ++i) wishes.modeAsked(7, {640 + 16 * (i % 2), 480, 30});
  timers->advance(PendingWishes::kSettleNs / 2 - 1);
  EXPECT_EQ(due, 0);
  timers->advance(1);
  EXPECT_EQ(due, 1);
  wishes.forget(9);  // left before the queue took the batch
  wishes.audioChanged();
  const auto batch = wishes.take();
  EXPECT_TRUE(batch.codec);
  EXPECT_TRUE(batch.audio);
  EXPECT_FALSE(batch.settings);
  EXPECT_EQ(batch.modes, (Wishes{{7, {656, 480, 30}}}));

  // A wish after the hand-over starts a new settle; a stop ends it unheard.
  wishes.settingsChanged();
  wishes.stop();
  wishes.modeAsked(7, {320, 240, 30});
  timers->advance(PendingWishes::kSettleNs);
  EXPECT_EQ(due, 1);
  const auto after = wishes.take();
  EXPECT_FALSE(after.settings);
  EXPECT_TRUE(after.modes.empty());
}

}  // namespace
}  // namespace lumenrail

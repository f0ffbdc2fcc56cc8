#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

#include "input/PenPacer.hpp"
#include "platform/Clock.hpp"

namespace lumenrail {
namespace {

using Action = PenMapper::Action;

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kT = 3'000'000'000;  // the fake clock starts well above zero

PenMapper::Event ev(uint8_t id, Action action, double x, double y = 0) {
  PenMapper::Event e;
  e.pointerId = id;
  e.action = action;
  e.x = x;
  e.y = y;
  return e;
}

using Events = std::vector<PenMapper::Event>;

TEST(PenPacer, At120HzOnlyTheLatestHeldMoveIsPostedWhenTheIntervalPasses) {
  PenPacer pacer = PenPacer::fromRate(120);
  ASSERT_EQ(pacer.intervalNs(), 8'333'333u);
  const auto down = ev(1, Action::down, 0);
  EXPECT_EQ(pacer.ingest(down, kT), Events{down});
  EXPECT_EQ(pacer.nextDeadline(), std::nullopt);

  struct Row {
    uint64_t at;
    double x;
  };
  for (const Row& row : {Row{2 * kMs, 2}, Row{4 * kMs, 4}, Row{6 * kMs, 6}}) {
    EXPECT_TRUE(pacer.ingest(ev(1, Action::drag, row.x), kT + row.at).empty()) << row.x;
    ASSERT_EQ(pacer.pending().size(), 1u);
    EXPECT_EQ(pacer.pending().at(1).x, row.x);
  }
  EXPECT_EQ(pacer.nextDeadline(), kT + 8'333'333);
  EXPECT_TRUE(pacer.due(kT + 8'333'332).empty());
  EXPECT_EQ(pacer.due(kT + 8'333'333), Events{ev(1, Action::drag, 6)});
  EXPECT_EQ(pacer.nextDeadline(), std::nullopt);
  EXPECT_TRUE(pacer.due(kT + 20 * kMs).empty());

  // The next move within the new interval waits again; after it, one passes at once.
  EXPECT_TRUE(pacer.ingest(ev(1, Action::drag, 7), kT + 9 * kMs).empty());
  EXPECT_EQ(pacer.ingest(ev(1, Action::drag, 8), kT + 17 * kMs), Events{ev(1, Action::drag, 8)});
  EXPECT_TRUE(pacer.pending().empty());
}

TEST(PenPacer, PressReleaseAndExitPassAtOnceAndDropTheHeldMove) {
  PenPacer pacer = PenPacer::fromRate(60);
  pacer.ingest(ev(1, Action::down, 0), kT);
  EXPECT_TRUE(pacer.ingest(ev(1, Action::drag, 5), kT + kMs).empty());
  const auto up = ev(1, Action::up, 9);
  EXPECT_EQ(pacer.ingest(up, kT + 2 * kMs), Events{up});
  EXPECT_TRUE(pacer.pending().empty());
  EXPECT_EQ(pacer.nextDeadline(), std::nullopt);

  // Hover moves are paced after the up too, then the exit forgets the pointer.
  EXPECT_TRUE(pacer.ingest(ev(1, Action::hoverMove, 10), kT + 3 * kMs).empty());
  const auto exit = ev(1, Action::hoverExit, 11);
  EXPECT_EQ(pacer.ingest(exit, kT + 4 * kMs), Events{exit});
  EXPECT_TRUE(pacer.pending().empty());
  // Forgotten: the same move as before the exit is posted at once.
  EXPECT_EQ(pacer.ingest(ev(1, Action::hoverMove, 10), kT + 5 * kMs), Events{ev(1, Action::hoverMove, 10)});
}

TEST(PenPacer, DropsAMoveEqualToTheLastPostedOneUnlessOneIsHeld) {
  PenPacer pacer = PenPacer::fromRate(120);
  const auto here = ev(3, Action::hoverMove, 4, 4);
  const auto there = ev(3, Action::hoverMove, 5, 4);
  EXPECT_EQ(pacer.ingest(here, kT), Events{here});
  EXPECT_TRUE(pacer.ingest(here, kT + 100 * kMs).empty());
  EXPECT_TRUE(pacer.pending().empty());
  EXPECT_EQ(pacer.ingest(there, kT + 100 * kMs), Events{there});
  // With a move held, coming back to the posted point replaces it rather than
  // being dropped, so the pointer ends where the client left it.
  EXPECT_TRUE(pacer.ingest(here, kT + 101 * kMs).empty());
  EXPECT_TRUE(pacer.ingest(there, kT + 102 * kMs).empty());
  EXPECT_EQ(pacer.pending().at(3), there);
  EXPECT_EQ(pacer.due(kT + 200 * kMs), Events{there});
}

TEST(PenPacer, PacesEachPointerApartAndFlushesInAscendingIdOrder) {
  PenPacer pacer = PenPacer::fromInterval(10 * kMs);
  for (uint8_t id : {9, 2, 5}) pacer.ingest(ev(id, Action::down, 0), kT + id * kMs);
  for (uint8_t id : {9, 2, 5}) EXPECT_TRUE(pacer.ingest(ev(id, Action::drag, id), kT + 10 * kMs).empty());
  // Deadlines: 2 -> 12 ms, 5 -> 15 ms, 9 -> 19 ms.
  EXPECT_EQ(pacer.nextDeadline(), kT + 12 * kMs);
  EXPECT_EQ(pacer.due(kT + 15 * kMs), (Events{ev(2, Action::drag, 2), ev(5, Action::drag, 5)}));
  EXPECT_EQ(pacer.nextDeadline(), kT + 19 * kMs);
  EXPECT_EQ(pacer.due(kT + 30 * kMs), Events{ev(9, Action::drag, 9)});
}

TEST(PenPacer, IntervalZeroPassesEveryChangedMove) {
  PenPacer pacer = PenPacer::fromRate(0);
  pacer.ingest(ev(1, Action::down, 0), kT);
  EXPECT_EQ(pacer.ingest(ev(1, Action::drag, 1), kT), Events{ev(1, Action::drag, 1)});
  EXPECT_EQ(pacer.ingest(ev(1, Action::drag, 2), kT), Events{ev(1, Action::drag, 2)});
  EXPECT_TRUE(pacer.ingest(ev(1, Action::drag, 2), kT).empty());
}

TEST(PenPacer, RatesBecomeIntervalsThatCannotOverflow) {
  const struct {
    double hz;
    uint64_t intervalNs;
  } rows[] = {{120, 8'333'333}, {-5, 0}, {0.25, 1'000'000'000}, {INFINITY, 1}};
  for (const auto& row : rows) EXPECT_EQ(PenPacer::fromRate(row.hz).intervalNs(), row.intervalNs) << row.hz;

  // A huge interval saturates its deadline instead of wrapping into the past.
  PenPacer pacer = PenPacer::fromInterval(UINT64_MAX);
  pacer.ingest(ev(1, Action::down, 0), kT);
  EXPECT_TRUE(pacer.ingest(ev(1, Action::drag, 1), kT + 1).empty());
  EXPECT_EQ(pacer.nextDeadline(), UINT64_MAX);
  EXPECT_TRUE(pacer.due(kT + 10 * kNsPerSecond).empty());
}

// The number itself is read as in NumberTextTest.
TEST(PenPacer, RateOverrideIsANonNegativeNumberClampedToTheRange) {
  constexpr double kDisplay = 90;
  const struct {
    std::string_view value;
    double hz;
  } rows[] = {{"59.94", 59.94}, {"0", 0}, {"-5", kDisplay}, {"0.001", PenPacer::minRateHz}, {"1e999", PenPacer::maxRateHz}};
  for (const auto& row : rows) EXPECT_EQ(PenPacer::pacingRateHz(row.value, kDisplay), row.hz) << row.value;
  EXPECT_EQ(PenPacer::pacingRateHz(std::nullopt, kDisplay), kDisplay);
}

}  // namespace
}  // namespace lumenrail

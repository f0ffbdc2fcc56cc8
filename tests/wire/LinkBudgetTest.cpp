// The link's rate from the kernel's readings, and what that allows to wait.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "wire/LinkBudget.hpp"

namespace lumenrail {
namespace {

struct Reading {
  uint64_t atMs;
  uint64_t rate;
  uint32_t minRttUs = 0;
};

TEST(LinkBudgetRate, TheMedianOfRecentReadingsBoundsTheKernelInTime) {
  struct Case {
    const char* name;
    std::vector<Reading> readings;
    uint64_t rate;
    std::optional<int64_t> kernelBytes;
  };
  const std::vector<Case> cases = {
      {"no reading yet", {}, 0, std::nullopt},
      {"only idle readings", {{0, 0}, {10, 0}}, 0, std::nullopt},
      {"60 ms of a 250 kB/s link", {{0, 250'000}}, 250'000, 15'000},
      {"a burst at line rate among them moves nothing",
       {{0, 240'000}, {5, 90'000'000}, {10, 250'000}}, 250'000, 15'000},
      {"two round trips on top", {{0, 1'000'000, 20'000}}, 1'000'000, 100'000},
      {"a few segments however slow", {{0, 10'000}}, 10'000, LinkBudget::kMinKernelBytes},
      {"no more than the kernel's ceiling however fast", {{0, 1'000'000'000}}, 1'000'000'000,
       LinkBudget::kMaxKernelBytes},
      {"readings older than the window are forgotten", {{0, 1'000'000}, {6'000, 100'000}}, 100'000, 6'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinkBudget budget;
    for (const auto& r : c.readings) budget.note(r.atMs * kNsPerMs, r.rate, r.minRttUs);
    EXPECT_EQ(budget.rate(), c.rate);
    EXPECT_EQ(budget.kernelBytes(), c.kernelBytes);
  }
}

TEST(LinkBudgetRate, OnlyAFrameThatIsDearAndWouldComeLateIsLate) {
  LinkBudget budget;
  EXPECT_FALSE(budget.arrivesLate(10 * kNsPerSecond, 0, 1'000'000)) << "an unknown link drops nothing";
  budget.note(0, 100'000, 0);  // 100 kB/s
  struct Case {
    const char* name;
    uint64_t ageMs;
    int64_t queued, bytes;
    bool late;
  };
  const std::vector<Case> cases = {
      {"cheap, however old", 5'000, 0, 4'000, false},
      {"dear but in time", 100, 4'000, 20'000, false},
      {"dear and late through its age", 250, 0, 20'000, true},
      {"dear and late through what the kernel holds ahead", 10, 25'000, 20'000, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(budget.arrivesLate(c.ageMs * kNsPerMs, c.queued, c.bytes), c.late) << c.name;
  }
}

}  // namespace
}  // namespace lumenrail

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "media/RowBands.hpp"

namespace lumenrail {
namespace {

// Back-to-back runs, as frames come: every band of every run runs exactly
// once and has finished when run returns, whichever thread took it.
TEST(RowBands, EveryBandOfEveryRunRunsOnceBeforeTheRunReturns) {
  for (const int count : {1, 3, 8}) {
    RowBands bands(count);
    ASSERT_EQ(bands.count(), count);
    std::vector<std::atomic<int>> hits(static_cast<size_t>(count));
    for (int run = 1; run <= 2000; ++run) {
      auto job = [&](int band) { hits[size_t(band)].fetch_add(1); };
      bands.run(job);
      for (int band = 0; band < count; ++band) ASSERT_EQ(hits[size_t(band)].load(), run) << count << "/" << band;
    }
  }
  EXPECT_GE(RowBands::bandsFor(2048), 1);
  EXPECT_EQ(RowBands::bandsFor(40), 1);
}

}  // namespace
}  // namespace lumenrail

#pragma once

#include <cstdint>
#include <optional>

namespace lumenrail {

// Hysteresis over the per-second count of evicted frames: three bad seconds
// in a row raise the degraded verdict, three good ones clear it.
struct DegradationPolicy {
  static constexpr int64_t coalescedPerSecond = 8;
  static constexpr int64_t onSeconds = 3;
  static constexpr int64_t offSeconds = 3;

  bool isDegraded = false;
  int64_t degradeStreak = 0;
  int64_t healthyStreak = 0;

  // True when the verdict just became degraded, false when it just recovered,
  // nothing when it did not change.
  std::optional<bool> tick(int64_t coalesced);
  // Clears streaks and verdict; returns the verdict it had.
  bool reset();

  bool operator==(const DegradationPolicy&) const = default;
};

}  // namespace lumenrail

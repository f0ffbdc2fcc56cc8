#include "wire/DegradationPolicy.hpp"

namespace lumenrail {

std::optional<bool> DegradationPolicy::tick(int64_t coalesced) {
  if (coalesced >= coalescedPerSecond) {
    ++degradeStreak;
    healthyStreak = 0;
    if (!isDegraded && degradeStreak >= onSeconds) {
      isDegraded = true;
      return true;
    }
    return std::nullopt;
  }
  ++healthyStreak;
  degradeStreak = 0;
  if (isDegraded && healthyStreak >= offSeconds) {
    isDegraded = false;
    return false;
  }
  return std::nullopt;
}

bool DegradationPolicy::reset() {
  const bool was = isDegraded;
  *this = DegradationPolicy{};
  return was;
}

}  // namespace lumenrail

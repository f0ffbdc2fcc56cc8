#pragma once

#include <cstdint>
#include <functional>

namespace lumenrail {

// The host's uptime clock: CLOCK_MONOTONIC in nanoseconds. Capture times,
// timers and every timed decision use it; anything that is timed takes a
// NowNs so tests can drive time by hand.
uint64_t uptimeNs();

using NowNs = std::function<uint64_t()>;

inline constexpr uint64_t kNsPerMs = 1'000'000;
inline constexpr uint64_t kNsPerSecond = 1'000'000'000;

}  // namespace lumenrail

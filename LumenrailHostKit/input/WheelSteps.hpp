#pragma once

#include <cmath>
#include <cstdint>

namespace lumenrail {

// Linux wheels move in detents (120 high-resolution units each); the host's
// scrolls are pixels and its zoom is a relative magnification. These carry
// the remainders between events so slow gestures still add up.
inline constexpr double kPixelsPerWheelStep = 30.0;
inline constexpr int32_t kHiResPerStep = 120;
inline constexpr double kMagnificationPerStep = 0.1;

struct WheelSteps {
  double remainder = 0;
  // Whole steps of `unit` in what has gathered so far, toward zero.
  int32_t add(double amount, double unit) {
    if (!(amount == amount) || !(unit > 0)) return 0;
    remainder += amount;
    const double whole = std::trunc(remainder / unit);
    const double bounded = whole > 1000 ? 1000 : (whole < -1000 ? -1000 : whole);
    remainder -= bounded * unit;
    if (std::fabs(remainder) >= unit * 1000) remainder = 0;  // a flood is cut, not queued
    return static_cast<int32_t>(bounded);
  }
  void reset() { remainder = 0; }
};

}  // namespace lumenrail

#pragma once

#include <cstdint>
#include <optional>

namespace lumenrail {

// Counts multiple clicks (double, triple, ...) of the left button: a press
// continues the run when it comes within the double-click interval of the
// previous press and within a few points of it.
struct ClickCounter {
  static constexpr double slopPoints = 6.0;

  std::optional<uint64_t> lastDownNs;
  double lastX = 0;
  double lastY = 0;
  int64_t count = 0;

  // The click count of a new press at (x, y). `intervalNs` is the platform's
  // double-click interval.
  int64_t down(double x, double y, uint64_t now, uint64_t intervalNs);
  // Ends the run; the last point stays.
  void reset() {
    lastDownNs.reset();
    count = 0;
  }

  bool operator==(const ClickCounter&) const = default;
};

}  // namespace lumenrail

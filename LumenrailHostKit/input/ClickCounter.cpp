#include "input/ClickCounter.hpp"

#include <cmath>

namespace lumenrail {

int64_t ClickCounter::down(double x, double y, uint64_t now, uint64_t intervalNs) {
  // A press stamped before the previous one (never on a monotonic clock)
  // starts a new run rather than wrapping.
  const bool continues = lastDownNs && now >= *lastDownNs && now - *lastDownNs <= intervalNs &&
                         std::fabs(x - lastX) <= slopPoints && std::fabs(y - lastY) <= slopPoints;
  count = continues ? count + 1 : 1;
  lastDownNs = now;
  lastX = x;
  lastY = y;
  return count;
}

}  // namespace lumenrail

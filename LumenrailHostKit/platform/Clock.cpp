#include "platform/Clock.hpp"

#include <time.h>

namespace lumenrail {

uint64_t uptimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kNsPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace lumenrail

#include "wire/ClientModePolicy.hpp"

#include <algorithm>

namespace lumenrail::ClientModePolicy {

namespace {

// Clamped before rounding, in 64 bits: a request near UINT32_MAX must land on
// the largest size, not wrap around to the smallest.
int64_t servableDimension(uint32_t requested) {
  const int64_t clamped = std::clamp<int64_t>(requested, minDimension, maxDimension);
  return (clamped + alignment / 2) & ~(alignment - 1);
}

}  // namespace

std::optional<Mode> sanitize(const Wire::ClientMode& request) {
  if (request.width == 0 || request.height == 0) return std::nullopt;
  const int64_t fps = request.refreshHz == 0 ? defaultHz
                                             : std::clamp<int64_t>(request.refreshHz, minHz, maxHz);
  return Mode{servableDimension(request.width), servableDimension(request.height), fps};
}

}  // namespace lumenrail::ClientModePolicy

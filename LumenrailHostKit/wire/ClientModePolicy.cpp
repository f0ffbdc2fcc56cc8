#include "wire/ClientModePolicy.hpp"

#include <algorithm>
#include <cmath>

namespace lumenrail::ClientModePolicy {

namespace {

// Clamped before rounding, in 64 bits: a request near UINT32_MAX must land on
// the largest size, not wrap around to the smallest.
int64_t servableDimension(uint32_t requested) {
  const int64_t clamped = std::clamp<int64_t>(requested, minDimension, maxDimension);
  return (clamped + alignment / 2) & ~(alignment - 1);
}

int64_t pixelsPerSecond(const Mode& m) { return m.width * m.height * m.fps; }

int64_t alignedDown(double side) {
  return std::max(minDimension, static_cast<int64_t>(side) & ~(alignment - 1));
}

Mode withinPixelRate(Mode m) {
  if (pixelsPerSecond(m) <= maxPixelsPerSecond) return m;
  m.fps = std::min(m.fps, defaultHz);
  if (pixelsPerSecond(m) <= maxPixelsPerSecond) return m;
  const double scale = std::sqrt(static_cast<double>(maxPixelsPerSecond) / static_cast<double>(pixelsPerSecond(m)));
  // A hair above the exact factor, so a side that fits exactly is not lost to
  // rounding; the loop below takes back what does not fit.
  const int64_t width = alignedDown(static_cast<double>(m.width) * scale + 1e-6);
  const int64_t height = alignedDown(static_cast<double>(m.height) * scale + 1e-6);
  m.width = width;
  m.height = height;
  while (pixelsPerSecond(m) > maxPixelsPerSecond) {
    int64_t& longer = m.width >= m.height ? m.width : m.height;
    longer -= alignment;
  }
  return m;
}

}  // namespace

std::optional<Mode> sanitize(const Wire::ClientMode& request) {
  if (request.width == 0 || request.height == 0) return std::nullopt;
  const int64_t fps = request.refreshHz == 0 ? defaultHz
                                             : std::clamp<int64_t>(request.refreshHz, minHz, maxHz);
  return withinPixelRate(Mode{servableDimension(request.width), servableDimension(request.height), fps});
}

}  // namespace lumenrail::ClientModePolicy

#pragma once

#include <cstdint>
#include <optional>

#include "wire/Wire.hpp"

namespace lumenrail::ClientModePolicy {

inline constexpr int64_t minDimension = 16;
inline constexpr int64_t maxDimension = 4096;
inline constexpr int64_t alignment = 16;
inline constexpr int64_t minHz = 24;
inline constexpr int64_t maxHz = 120;
inline constexpr int64_t defaultHz = 60;
// What the software encoders keep up with in real time on a desktop machine:
// 3840x2160 at 60 fps worth of pixels a second. A request above it would cost
// the other clients their frames and the desktop its CPU, so it is served
// smaller: first at no more than 60 Hz, then, if still above, with both sides
// shrunk by one factor (the aspect kept, each side a multiple of 16).
inline constexpr int64_t maxPixelsPerSecond = int64_t{3840} * 2160 * 60;

// A display mode the host can serve.
struct Mode {
  int64_t width = 0;
  int64_t height = 0;
  int64_t fps = 0;
  bool operator==(const Mode&) const = default;
};

// The servable mode closest to a client's request; nothing when a side is 0.
std::optional<Mode> sanitize(const Wire::ClientMode& request);

}  // namespace lumenrail::ClientModePolicy

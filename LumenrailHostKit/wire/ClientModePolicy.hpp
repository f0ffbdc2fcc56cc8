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

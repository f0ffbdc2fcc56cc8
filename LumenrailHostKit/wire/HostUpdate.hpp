#pragma once

#include <cstdint>
#include <optional>

#include "wire/Wire.hpp"

namespace lumenrail {

// The host's update state as the version report carries it; the raw values
// are wire bytes.
enum class HostUpdate : uint8_t { none = 0, available = 1, required = 2 };

namespace Wire {
template <>
inline std::optional<HostUpdate> from<HostUpdate>(uint8_t raw) {
  switch (raw) {
    case 0: return HostUpdate::none;
    case 1: return HostUpdate::available;
    case 2: return HostUpdate::required;
    default: return std::nullopt;
  }
}
}  // namespace Wire

}  // namespace lumenrail

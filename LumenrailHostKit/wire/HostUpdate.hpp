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

// The version report's lenient reading: 1 and 2 map to their cases, every
// other code reads as none.
constexpr HostUpdate hostUpdateFromCode(uint8_t code) {
  return code == 1 ? HostUpdate::available : code == 2 ? HostUpdate::required : HostUpdate::none;
}

}  // namespace lumenrail

#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace lumenrail {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

}  // namespace lumenrail

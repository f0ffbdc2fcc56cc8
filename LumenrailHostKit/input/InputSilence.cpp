#include "input/InputSilence.hpp"

#include <limits>

namespace lumenrail {

std::optional<uint64_t> InputSilence::deadline(const PenMapper::Live& live) const {
  if (!live.any()) return std::nullopt;
  const uint64_t limit = live.finger ? fingerLimitNs : penLimitNs;
  if (lastInputNs > std::numeric_limits<uint64_t>::max() - limit) return std::numeric_limits<uint64_t>::max();
  return lastInputNs + limit;
}

bool InputSilence::expired(const PenMapper::Live& live, uint64_t now) const {
  const std::optional<uint64_t> due = deadline(live);
  return due && now >= *due;
}

}  // namespace lumenrail

#pragma once

#include <cstdint>
#include <optional>

#include "input/PenMapper.hpp"

namespace lumenrail {

// Tells when a client has gone quiet while it still has a pen in range or a
// finger down, so the injector can release what it holds.
struct InputSilence {
  static constexpr uint64_t penLimitNs = 500'000'000;
  static constexpr uint64_t fingerLimitNs = 1'000'000'000;

  uint64_t lastInputNs = 0;  // uptime ns of the last accepted packet

  void noteInput(uint64_t now) { lastInputNs = now; }
  // Nothing while nothing is live; a live finger gets the longer limit.
  std::optional<uint64_t> deadline(const PenMapper::Live& live) const;
  bool expired(const PenMapper::Live& live, uint64_t now) const;

  bool operator==(const InputSilence&) const = default;
};

}  // namespace lumenrail

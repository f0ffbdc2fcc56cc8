#pragma once

#include <array>
#include <cstdint>

namespace lumenrail {

// The per-direction record counter. The 12-byte nonce is four zero bytes and
// the counter big-endian. The last counter value is never handed out, so no
// nonce can ever repeat under one key.
struct NonceCounter {
  static constexpr uint64_t kExhausted = UINT64_MAX;

  uint64_t counter = 0;

  // The nonce of the current counter, then the counter moves on. Throws
  // WifiCryptoError nonceExhausted (counter unchanged) at 2^64 - 1.
  std::array<uint8_t, 12> next();

  bool operator==(const NonceCounter&) const = default;
};

}  // namespace lumenrail

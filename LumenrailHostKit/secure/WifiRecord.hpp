#pragma once

// Framing of a sealed record on the wire: a 4-byte little-endian length
// (ciphertext plus tag), the AES-GCM ciphertext, the 16-byte tag. The nonce is
// never sent; both ends count records.

#include <array>
#include <cstdint>

#include "platform/ByteOrder.hpp"
#include "platform/Bytes.hpp"

namespace lumenrail::WifiRecord {

inline constexpr int64_t tagBytes = 16;
inline constexpr int64_t lenPrefix = 4;
inline constexpr int64_t maxPlaintext = 0x1000000;
inline constexpr int64_t minRecord = tagBytes;                  // an empty plaintext
inline constexpr int64_t maxRecord = maxPlaintext + tagBytes;  // 0x1000010

// The low 32 bits of `length`, little-endian.
inline std::array<uint8_t, 4> encodeLength(uint64_t length) {
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 24)};
}

// The caller guarantees at least 4 bytes.
inline uint32_t decodeLength(ByteView bytes) { return ByteOrder::readLE32(bytes, 0); }

}  // namespace lumenrail::WifiRecord

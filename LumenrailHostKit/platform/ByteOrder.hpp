#pragma once

// Little-endian helpers shared by every byte format the host speaks.
// Readers check their bounds and throw std::out_of_range: callers are meant to
// have checked the length already, so a throw here is a bug, never a peer's doing.

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "platform/Bytes.hpp"

namespace lumenrail::ByteOrder {

inline void appendLE16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void appendLE32(Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

inline void appendLE64(Bytes& out, uint64_t v) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

inline void requireRange(ByteView data, size_t at, size_t width) {
  if (at > data.size() || data.size() - at < width) {
    throw std::out_of_range("little-endian read past the end");
  }
}

inline uint16_t readLE16(ByteView data, size_t at) {
  requireRange(data, at, 2);
  return static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
}

inline uint32_t readLE32(ByteView data, size_t at) {
  requireRange(data, at, 4);
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(data[at + i]) << (8 * i);
  return v;
}

inline uint64_t readLE64(ByteView data, size_t at) {
  requireRange(data, at, 8);
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v |= static_cast<uint64_t>(data[at + i]) << (8 * i);
  return v;
}

}  // namespace lumenrail::ByteOrder

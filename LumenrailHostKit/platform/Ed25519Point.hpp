#pragma once

// Checks on Ed25519 encodings that the EVP verifier does not make: it takes
// any 32 bytes as a key, so a small-order key together with a small-order R
// "verifies" for every message. Values that come from a peer are judged here
// before they are trusted.

#include "platform/Bytes.hpp"

namespace lumenrail::Ed25519Point {

enum class Encoding {
  unusable,    // not 32 bytes, y >= p, or no curve point has this y and sign
  smallOrder,  // one of the eight points of order dividing 8
  usable,
};

Encoding classify(ByteView encoded) noexcept;

// True for 32 little-endian bytes below the group order L.
bool isCanonicalScalar(ByteView scalar) noexcept;

}  // namespace lumenrail::Ed25519Point

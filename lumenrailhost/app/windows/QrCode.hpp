#pragma once

// A QR code's modules for a text (its UTF-8 bytes as one 8-bit segment, error
// correction level M), from libqrencode. Views draw each module as a square of
// whole pixels so the code stays crisp at any scale.

#include <optional>
#include <string_view>
#include <vector>

namespace lumenrail::QrCode {

struct Matrix {
  int size = 0;                // modules per side, without the quiet zone
  std::vector<uint8_t> dark;   // row by row, 1 for a dark module
  bool at(int x, int y) const { return dark[static_cast<size_t>(y) * size + x] != 0; }
};

// Nothing for an empty text or one too long for any QR version.
std::optional<Matrix> encode(std::string_view text);

}  // namespace lumenrail::QrCode

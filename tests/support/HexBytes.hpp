#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Bytes.hpp"

namespace lumenrail::test {

// Hand-typed vectors: white space inside the text is ignored.
inline Bytes fromHex(std::string_view text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\t') continue;
    const int v = nibble(c);
    if (v < 0) throw std::invalid_argument("fromHex: not a hex digit");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("fromHex: odd number of digits");
  return out;
}

inline std::string toHex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace lumenrail::test

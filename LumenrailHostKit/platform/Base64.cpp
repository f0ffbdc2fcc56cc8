#include "platform/Base64.hpp"

#include <array>
#include <cstdint>

namespace lumenrail::Base64 {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr int8_t kInvalid = -1;

constexpr std::array<int8_t, 256> reverse(const char* alphabet) {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr auto kStandardReverse = reverse(kStandard);
constexpr auto kUrlReverse = reverse(kUrl);

std::string encodeWith(ByteView data, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  const size_t rest = data.size() - i;
  if (rest == 1) {
    const uint32_t v = uint32_t{data[i]} << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (pad) out += "==";
  } else if (rest == 2) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    if (pad) out += '=';
  }
  return out;
}

// `text` holds only alphabet characters; a final group of 2 or 3 characters
// carries 1 or 2 bytes and its unused low bits must be zero.
std::optional<Bytes> decodeDigits(std::string_view text, const std::array<int8_t, 256>& table) {
  if (text.size() % 4 == 1) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (char ch : text) {
    const int8_t v = table[static_cast<uint8_t>(ch)];
    if (v == kInvalid) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  if (acc != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string encode(ByteView data) { return encodeWith(data, kStandard, true); }

std::string encodeUrl(ByteView data) { return encodeWith(data, kUrl, false); }

std::optional<Bytes> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  return decodeDigits(text.substr(0, text.size() - padding), kStandardReverse);
}

std::optional<Bytes> decodeUrl(std::string_view text) { return decodeDigits(text, kUrlReverse); }

}  // namespace lumenrail::Base64

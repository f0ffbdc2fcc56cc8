#include "platform/Utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace lumenrail::Utf8 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `i`, or the length of its maximal
// ill-formed subpart (at least 1) with `ok` false.
size_t scan(const uint8_t* p, size_t n, size_t i, bool& ok) {
  const uint8_t b0 = p[i];
  ok = false;
  if (b0 < 0x80) {
    ok = true;
    return 1;
  }
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;  // stray continuation byte or a byte that never starts a sequence
  }
  size_t len = 1;
  for (size_t k = 0; k < need; ++k) {
    if (i + len >= n) return len;
    const uint8_t b = p[i + len];
    const uint8_t min = (k == 0) ? lo : 0x80;
    const uint8_t max = (k == 0) ? hi : 0xBF;
    if (b < min || b > max) return len;
    ++len;
  }
  ok = true;
  return len;
}

bool isWhitespaceOrNewline(uint32_t c) {
  if (c == 0x20 || (c >= 0x09 && c <= 0x0D)) return true;
  if (c == 0x85 || c == 0xA0 || c == 0x1680) return true;
  if (c >= 0x2000 && c <= 0x200A) return true;
  return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

Scalar scalarAt(std::string_view text, size_t at) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data()) + at;
  const uint8_t lead = p[0];
  size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  length = std::min(length, text.size() - at);
  uint32_t value = length == 1 ? lead : lead & (0xFFu >> (length + 1));
  for (size_t k = 1; k < length; ++k) value = (value << 6) | (p[k] & 0x3Fu);
  return {value, length};
}

std::string decodeRepairing(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  const uint8_t* p = bytes.data();
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    bool ok = false;
    const size_t len = scan(p, n, i, ok);
    if (ok) {
      out.append(reinterpret_cast<const char*>(p + i), len);
    } else {
      out.append(kReplacement);
    }
    i += len;
  }
  return out;
}

std::string decodeRepairing(std::string_view bytes) {
  return decodeRepairing(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

bool isValid(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    bool ok = false;
    i += scan(p, text.size(), i, ok);
    if (!ok) return false;
  }
  return true;
}

// Only a well-formed sequence can be whitespace: a stray or cut byte is
// content, and trimming never eats past it.
std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto whitespaceAt = [&](size_t at, size_t& len) {
    bool ok = false;
    len = scan(p, text.size(), at, ok);
    return ok && isWhitespaceOrNewline(scalarAt(text, at).value);
  };
  size_t begin = 0;
  size_t len = 0;
  while (begin < text.size() && whitespaceAt(begin, len)) begin += len;
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (p[start] & 0xC0) == 0x80) --start;
    if (!whitespaceAt(start, len) || start + len != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string_view trimSpaces(std::string_view text) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

}  // namespace lumenrail::Utf8

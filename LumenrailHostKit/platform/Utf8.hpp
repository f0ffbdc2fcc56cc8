#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Bytes.hpp"

namespace lumenrail::Utf8 {

// Decodes bytes as UTF-8, replacing each maximal ill-formed subpart with
// U+FFFD (so a multi-byte character cut short becomes one replacement
// character). The result is always valid UTF-8.
std::string decodeRepairing(ByteView bytes);
std::string decodeRepairing(std::string_view bytes);

bool isValid(std::string_view text);

// The scalar that starts at byte `at` (< text.size()) and the bytes it takes.
// Plain decoding on valid UTF-8; otherwise a sequence cut short by the end
// takes what is left and a byte that starts none stands for itself.
struct Scalar {
  uint32_t value = 0;
  size_t length = 0;
};
Scalar scalarAt(std::string_view text, size_t at);

// Removes leading and trailing Unicode white space and line breaks: the space
// separators (Zs), tab, U+000A..U+000D, U+0085, U+2028 and U+2029.
// Expects valid UTF-8.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

// Removes leading and trailing ASCII spaces (0x20) only.
std::string_view trimSpaces(std::string_view text);

}  // namespace lumenrail::Utf8

#pragma once

// The string tables' format placeholders: "%@" takes a text, "%d" (also
// "%i", "%u" with the "l", "ll", "q", "z" or "h" length) an integer, "%%" is a
// percent sign, and "%2$@" names its argument by position. Formatting is
// plain: integers in ASCII decimal, no grouping.

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace lumenrail {

struct FormatArg {
  std::variant<std::string, int64_t> value;

  FormatArg(std::string text) : value(std::move(text)) {}
  FormatArg(std::string_view text) : value(std::string(text)) {}
  FormatArg(const char* text) : value(std::string(text)) {}
  template <typename Int, std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool>, int> = 0>
  FormatArg(Int number) : value(static_cast<int64_t>(number)) {}
};

namespace TextFormat {

// `format` with its placeholders filled from `args`. A placeholder whose
// argument is missing stays as written, so a table that asks for more than
// the caller gives shows the gap instead of reading past the arguments; a
// text given for "%d" or a number for "%@" is written as it is.
std::string apply(std::string_view format, const std::vector<FormatArg>& args);

// The kinds of the arguments a text takes, in argument order: '@' text, 'd'
// integer; '?' marks a position no placeholder names and '!' one named with two
// kinds. Two translations of one key must have equal signatures.
std::string signature(std::string_view format);

}  // namespace TextFormat
}  // namespace lumenrail

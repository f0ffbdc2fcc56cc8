#include "input/NumberText.hpp"

#include <charconv>

namespace lumenrail {

std::optional<double> parseWholeDouble(std::string_view text) {
  // from_chars never consults the locale and never skips white space.
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    // "+-1" and "++1" stay malformed.
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) return std::nullopt;
  }
  if (digits.empty()) return std::nullopt;
  double value = 0;
  const char* end = digits.data() + digits.size();
  auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace lumenrail

#include "platform/NumberText.hpp"

#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <string>

namespace lumenrail {

namespace {

locale_t cLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

}  // namespace

std::optional<double> parseWholeDouble(std::string_view text) {
  // from_chars never consults the locale, never skips white space and reads
  // no hexadecimal.
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    // "+-1" and "++1" stay malformed.
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) return std::nullopt;
  }
  if (digits.empty()) return std::nullopt;
  double value = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (ptr != end) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Well formed but beyond a double: the C-locale strtod gives the
    // infinity (or, for a tiny number, the zero) that callers can clamp.
    const std::string copy(digits);
    if (const locale_t c = cLocale()) return strtod_l(copy.c_str(), nullptr, c);
    return std::nullopt;
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

}  // namespace lumenrail

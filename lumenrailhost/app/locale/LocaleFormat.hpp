#pragma once

// What the windows show in the locale's own words and digits: pixel counts
// and the names of the shipped languages. ICU does the work, so only the
// application links it; the session's texts need none of it.

#include <cstdint>
#include <string>
#include <vector>

namespace lumenrail {

struct ShippedLanguage {
  std::string tag;
  std::string name;  // in its own language, first letter upper-cased
  bool operator==(const ShippedLanguage&) const = default;
};

namespace LocaleFormat {

// Pins the texts (L10n::pinLanguage) and the locale of digits and dates to
// `language`, for pictures that repeat on any machine.
void pinLanguage(const std::string& language);

// The locale digits and dates follow ("en_US").
std::string currentLocale();

// A pixel count in the current locale's digits, never grouped.
std::string pixels(int64_t count);
std::string pixels(int64_t count, const std::string& localeId);

// The languages of the process's string tables, by tag.
std::vector<ShippedLanguage> shippedLanguages();
std::vector<ShippedLanguage> shippedLanguages(const std::vector<std::string>& tags);

}  // namespace LocaleFormat
}  // namespace lumenrail

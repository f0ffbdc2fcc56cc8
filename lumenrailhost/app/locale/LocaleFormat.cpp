#include "app/locale/LocaleFormat.hpp"

#include <algorithm>
#include <memory>

#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/unistr.h>

#include "text/L10n.hpp"

namespace lumenrail::LocaleFormat {

namespace {

std::string utf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

}  // namespace

void pinLanguage(const std::string& language) {
  L10n::pinLanguage(language);
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(language.c_str()), status);
}

std::string currentLocale() { return icu::Locale::getDefault().getName(); }

std::string pixels(int64_t count) { return pixels(count, currentLocale()); }

std::vector<ShippedLanguage> shippedLanguages() {
  const auto* bundle = L10n::bundle();
  return bundle ? shippedLanguages(bundle->languages()) : std::vector<ShippedLanguage>{};
}

std::string pixels(int64_t count, const std::string& localeId) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> format(icu::NumberFormat::createInstance(icu::Locale(localeId.c_str()), status));
  if (U_FAILURE(status) || !format) return std::to_string(count);
  format->setGroupingUsed(false);
  icu::UnicodeString out;
  format->format(static_cast<int64_t>(count), out);
  return utf8(out);
}

std::vector<ShippedLanguage> shippedLanguages(const std::vector<std::string>& tags) {
  std::vector<ShippedLanguage> out;
  for (const auto& tag : tags) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale locale = icu::Locale::forLanguageTag(tag, status);
    icu::UnicodeString name;
    if (U_SUCCESS(status)) locale.getDisplayName(locale, name);
    std::string text = utf8(name);
    // ICU echoes an identifier it has no name for.
    if (name.isEmpty() || text == locale.getName() || text == tag) {
      out.push_back({tag, tag});
      continue;
    }
    const int32_t firstLength = U16_LENGTH(name.char32At(0));
    icu::UnicodeString first = name.tempSubString(0, firstLength);
    first.toUpper(locale);
    out.push_back({tag, utf8(first + name.tempSubString(firstLength))});
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.tag < b.tag; });
  return out;
}

}  // namespace lumenrail::LocaleFormat

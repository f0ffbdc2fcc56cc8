// Digits and language names in the locale's own words.
#include <gtest/gtest.h>

#include "app/locale/LocaleFormat.hpp"

namespace lumenrail {
namespace {

TEST(LocaleFormat, PixelsAreNeverGroupedAndUseTheLocaleDigits) {
  EXPECT_EQ(LocaleFormat::pixels(2560, "en_US"), "2560");
  EXPECT_EQ(LocaleFormat::pixels(1920, "de_DE"), "1920");
  EXPECT_EQ(LocaleFormat::pixels(2560, "ar_EG"), "\u0662\u0665\u0666\u0660");
}

TEST(LocaleFormat, ShippedLanguagesAreNamedInTheirOwnLanguage) {
  const auto names = LocaleFormat::shippedLanguages({"pt-BR", "fr", "de", "qx"});
  const std::vector<ShippedLanguage> expected = {
      {"de", "Deutsch"}, {"fr", "Français"}, {"pt-BR", "Português (Brasil)"}, {"qx", "qx"}};
  EXPECT_EQ(names, expected);
}

}  // namespace
}  // namespace lumenrail

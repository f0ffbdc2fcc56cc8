#include "settings/SiteLinks.hpp"

#include <gtest/gtest.h>

#include <string>

namespace lumenrail {
namespace {

std::string under(const std::string& rest) { return std::string(SiteLinks::root) + rest; }

TEST(SiteLinks, PrefixesFollowTheLanguageBase) {
  struct Case {
    const char* tag;
    std::optional<std::string> prefix;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"es-419", "es"},        {"FR-ca", "fr"},          {"de_DE", "de"},       {"-es", "es"},
           {"esp", std::nullopt},   {"en-GB", std::nullopt},  {"", std::nullopt},    {"pt_BR", "pt-br"},
           {"pt", std::nullopt},    {"pt-BR-x", std::nullopt}, {"zh-Hant", "zh-tw"}, {"zh_MO", "zh-tw"},
           {"zh-Hans", "zh-cn"},
       }) {
    EXPECT_EQ(SiteLinks::prefix(c.tag), c.prefix) << c.tag;
  }
}

TEST(SiteLinks, LocalisesOnlyLinksUnderTheRoot) {
  EXPECT_EQ(SiteLinks::localized(under("help/troubleshooting"), "es-419"), under("es/help/troubleshooting"));
  EXPECT_EQ(SiteLinks::localized(under("help"), "pt-PT"), under("help"));
  EXPECT_EQ(SiteLinks::localized(under(""), "de"), under("de/"));
  EXPECT_EQ(SiteLinks::localized("https://elsewhere.example/help", "es"), "https://elsewhere.example/help");
  std::string bare(SiteLinks::root);
  bare.pop_back();
  EXPECT_EQ(SiteLinks::localized(bare, "es"), bare);
}

}  // namespace
}  // namespace lumenrail

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
           {"es", "es"},         {"es-419", "es"},     {"de_DE", "de"},     {"FR-ca", "fr"},
           {"it", "it"},         {"ja-JP", "ja"},      {"ko", "ko"},        {"pt_BR", "pt-br"},
           {"pt-br", "pt-br"},   {"pt-PT", std::nullopt}, {"pt", std::nullopt}, {"pt-BR-x", std::nullopt},
           {"zh-Hant-TW", "zh-tw"}, {"zh-HK", "zh-tw"}, {"zh_MO", "zh-tw"}, {"zh-TW", "zh-tw"},
           {"zh-Hans", "zh-cn"}, {"zh", "zh-cn"},     {"zh-CN", "zh-cn"},  {"en", std::nullopt},
           {"en-GB", std::nullopt}, {"", std::nullopt}, {"-es", "es"},     {"esp", std::nullopt},
       }) {
    EXPECT_EQ(SiteLinks::prefix(c.tag), c.prefix) << c.tag;
  }
}

TEST(SiteLinks, LocalisesOnlyLinksUnderTheRoot) {
  EXPECT_TRUE(SiteLinks::root.starts_with("https://"));
  EXPECT_TRUE(SiteLinks::root.ends_with("/"));
  EXPECT_EQ(SiteLinks::localized(under("help/troubleshooting"), "es-419"), under("es/help/troubleshooting"));
  EXPECT_EQ(SiteLinks::localized(under("help"), "pt_BR"), under("pt-br/help"));
  EXPECT_EQ(SiteLinks::localized(under("help"), "pt-PT"), under("help"));
  EXPECT_EQ(SiteLinks::localized(under("help"), "en-GB"), under("help"));
  EXPECT_EQ(SiteLinks::localized(under("help"), "zh-Hant-TW"), under("zh-tw/help"));
  EXPECT_EQ(SiteLinks::localized(under("help"), "zh-HK"), under("zh-tw/help"));
  EXPECT_EQ(SiteLinks::localized(under("help"), "zh-Hans"), under("zh-cn/help"));
  EXPECT_EQ(SiteLinks::localized(under(""), "de"), under("de/"));
  EXPECT_EQ(SiteLinks::localized("https://elsewhere.example/help", "es"), "https://elsewhere.example/help");
  std::string bare(SiteLinks::root);
  bare.pop_back();
  EXPECT_EQ(SiteLinks::localized(bare, "es"), bare);
}

}  // namespace
}  // namespace lumenrail

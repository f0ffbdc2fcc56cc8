// Lookups against string tables of the tests' own: the table chain, the
// placeholders, the language override and the matching of system languages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "text/DeviceKindText.hpp"
#include "text/L10n.hpp"
#include "text/LanguageMatch.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "lumenrail-l10n-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void writeTable(const fs::path& bundle, const std::string& tag, const std::string& json) {
  fs::create_directories(bundle / (tag + ".lproj"));
  std::ofstream(bundle / (tag + ".lproj") / "Localizable.json") << json;
}

fs::path makeBundle(const fs::path& dir) {
  const fs::path bundle = dir / StringBundle::kFolderName;
  writeTable(bundle, "Base", R"({"app.hostName": "%@ Host", "only.base": "from Base", "greet": "Hello"})");
  writeTable(bundle, "en", R"({"app.hostName": "%@ Host", "greet": "Hello"})");
  writeTable(bundle, "fr", R"({"app.hostName": "Hôte %@", "greet": "Bonjour", "pct": "100 % sûr",
                               "swap": "%2$@ avant %1$@", "count": "%d appareils, %@"})");
  writeTable(bundle, "pt-BR", R"({"greet": "Olá"})");
  writeTable(bundle, "broken", R"(["not", "an", "object"])");
  return bundle;
}

TEST(L10nLookup, ReadsTheChosenTableThenBaseThenTheKey) {
  TempDir dir;
  std::vector<std::string> lines;
  auto bundle = StringBundle::open(makeBundle(dir.path()).string(), [&](const std::string& l) { lines.push_back(l); });
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->localizations(), (std::vector<std::string>{"Base", "en", "fr", "pt-BR"}));
  ASSERT_EQ(lines.size(), 1u);  // the table that is no object of texts
  EXPECT_NE(lines[0].find("[l10n] WARN: "), std::string::npos);

  const Localizer fr(bundle, {"fr-CA"});
  EXPECT_EQ(fr.localization(), "fr");
  EXPECT_EQ(fr.text("greet"), "Bonjour");
  EXPECT_EQ(fr.text("only.base"), "from Base");
  EXPECT_EQ(fr.text("no.such.key"), "no.such.key");
  EXPECT_EQ(fr.text("app.hostName", {"Lumenrail"}), "Hôte Lumenrail");
  EXPECT_EQ(fr.text("pct"), "100 % sûr");  // unformatted without arguments
  EXPECT_EQ(fr.text("swap", {"A", "B"}), "B avant A");
  EXPECT_EQ(fr.text("count", {3, "ok"}), "3 appareils, ok");
  // A table asking for more than the caller gives shows the gap.
  EXPECT_EQ(fr.text("count", {3}), "3 appareils, %@");
  EXPECT_EQ(fr.md("greet").source, "Bonjour");

  EXPECT_EQ(Localizer(bundle, {"de-DE", "pt"}).text("greet"), "Olá");
  EXPECT_EQ(Localizer(bundle, {"de-DE"}).localization(), "en");
  EXPECT_EQ(Localizer(std::nullopt, {"fr"}).text("greet", {"x"}), "greet");
}

TEST(L10nLookup, PlaceholderSignatures) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", ""},          {"%@ and %d", "@d"},      {"%2$@ %1$ld", "d@"}, {"100%% %@", "@"},
      {"%3$@ only", "??@"},   {"%1$@ %1$d", "!"},       {"50% off", ""},      {"%lld of %llu", "dd"},
  };
  for (const auto& [format, signature] : cases) EXPECT_EQ(TextFormat::signature(format), signature) << format;
  EXPECT_EQ(TextFormat::apply("%% %@ %", {"x"}), "% x %");
}

TEST(L10nLookup, SearchTakesTheFirstCandidateThatHoldsTheBundle) {
  TempDir first, second;
  makeBundle(second.path());
  fs::create_directories(first.path() / "unrelated");
  const auto found = StringBundle::search({"", first.path().string(), second.path().string()});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path(), (second.path() / StringBundle::kFolderName).string());
  EXPECT_FALSE(StringBundle::search({first.path().string()}));
}

TEST(L10nOverride, ReadsOnlyAShippedLanguageByWholeSubtags) {
  TempDir dir;
  UserDefaults defaults((dir.path() / "defaults.json").string(), "lumenrail");
  const std::vector<std::string> shipped = {"de", "fi", "fr", "pt-BR", "zh-Hans"};
  const std::vector<std::pair<nlohmann::json, std::string>> cases = {
      {nlohmann::json::array({"fr-CA"}), "fr"},
      {nlohmann::json::array({"fr_CA.UTF-8", "de"}), "fr"},
      {nlohmann::json::array({"FI"}), "fi"},
      {nlohmann::json::array({"fil"}), ""},  // Filipino is not Finnish
      {nlohmann::json::array({"frr"}), ""},  // nor is North Frisian French
      {nlohmann::json::array({"pt"}), "pt-BR"},
      {nlohmann::json::array({"zh-Hans-CN"}), "zh-Hans"},
      {nlohmann::json::array({"zh-Hant-TW"}), ""},
      {nlohmann::json::array({"zh-CN"}), "zh-Hans"},
      {nlohmann::json::array({"ja"}), ""},
      {nlohmann::json::array(), ""},
      {nlohmann::json::array({1, "fr"}), ""},
      {"fr", ""},
  };
  for (const auto& [stored, expected] : cases) {
    ASSERT_EQ(defaults.set({{"AppleLanguages", stored}}), "");
    EXPECT_EQ(L10n::languageOverride(defaults, shipped), expected) << stored.dump();
  }

  EXPECT_EQ(L10n::setLanguageOverride(defaults, "de"), "[l10n] language override: de");
  EXPECT_EQ(defaults.stringArray("AppleLanguages"), (std::vector<std::string>{"de"}));
  EXPECT_EQ(L10n::preferences(defaults, {{"LANG", "fr_FR.UTF-8"}}), (std::vector<std::string>{"de"}));
  EXPECT_EQ(L10n::setLanguageOverride(defaults, ""), "[l10n] language override: none (follow the system)");
  EXPECT_FALSE(defaults.hasObject("AppleLanguages"));
  EXPECT_EQ(L10n::preferences(defaults, {{"LANG", "fr_FR.UTF-8"}}), (std::vector<std::string>{"fr-FR"}));
}

TEST(L10nOverride, SystemLanguagesFollowTheLocaleVariables) {
  using Env = Environment;
  const std::vector<std::pair<Env, std::vector<std::string>>> cases = {
      {{}, {}},
      {{{"LANG", "de_DE.UTF-8"}}, {"de-DE"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_CA"}}, {"fr-CA"}},
      {{{"LANG", "de_DE"}, {"LC_MESSAGES", "fr_CA"}, {"LC_ALL", "it_IT@euro"}}, {"it-IT"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "pt_BR:fr::de_DE"}}, {"pt-BR", "fr", "de-DE"}},
      // gettext ignores LANGUAGE under the C locale.
      {{{"LC_ALL", "C"}, {"LANGUAGE", "fr"}, {"LANG", "de_DE"}}, {}},
  };
  for (const auto& [env, expected] : cases) EXPECT_EQ(LanguageMatch::systemLanguages(env), expected);
}

TEST(L10nFormats, DeviceKindsHaveLabelsButTheUnknownOne) {
  using Kind = PairingProtocol::DeviceKind;
  EXPECT_EQ(DeviceKindText::label(Kind::unknown), std::nullopt);
  // The test program has no tables beside it: each label is its key.
  EXPECT_EQ(DeviceKindText::label(Kind::iPad), "device.kind.iPad");
  EXPECT_EQ(DeviceKindText::label(Kind::androidTv), "device.kind.androidTv");
}

}  // namespace
}  // namespace lumenrail

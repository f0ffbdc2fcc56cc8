#include "settings/UpdateCheck.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "wire/HostUpdate.hpp"

namespace lumenrail {
namespace {

using UpdateCheck::ManifestInfo;
using UpdateCheck::Version;

ByteView bytesOf(const std::string& text) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string site(const std::string& rest) { return std::string(UpdateCheck::allowedLinkPrefix) + rest; }

TEST(UpdateCheck, ParsesVersionsOfOneToFourShortNumericComponents) {
  EXPECT_EQ(UpdateCheck::parseVersion("1"), (Version{1, 0, 0, 0}));
  EXPECT_EQ(UpdateCheck::parseVersion("1.2"), (Version{1, 2, 0, 0}));
  EXPECT_EQ(UpdateCheck::parseVersion("1.2.3.4"), (Version{1, 2, 3, 4}));
  EXPECT_EQ(UpdateCheck::parseVersion("0.0.0.0"), (Version{0, 0, 0, 0}));
  EXPECT_EQ(UpdateCheck::parseVersion("999999.007"), (Version{999999, 7, 0, 0}));
  for (const char* bad : {"", "1.2.3.4.5", "1..2", ".1", "1.", "1.2a", "a1.2", "v1", "1.2.3-beta", "1234567",
                          "1.1234567", "+1", "-1", " 1", "1 ", "1,2", "\xD9\xA1"}) {
    EXPECT_FALSE(UpdateCheck::parseVersion(bad).has_value()) << bad;
  }
}

TEST(UpdateCheck, ComparesComponentWiseAndTreatsUnparsableAsEqual) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"1.2", "1.2.0.0", 0},
           {"1.10", "1.9", 1},
           {"1.9", "1.10", -1},
           {"2", "1.99.99.99", 1},
           {"1.0.0.1", "1", 1},
           {"1.2.3.4.5", "1.0", 0},
           {"1..2", "0.1", 0},
           {"1.2a", "0.1", 0},
           {"a1", "0.1", 0},
           {"", "0.1", 0},
           {"1234567", "0.1", 0},
       }) {
    EXPECT_EQ(UpdateCheck::compare(c.a, c.b), c.expected) << c.a << " vs " << c.b;
  }
  EXPECT_TRUE(UpdateCheck::isNewer("1.10", "1.9"));
  EXPECT_FALSE(UpdateCheck::isNewer("1.2", "1.2.0"));
  EXPECT_FALSE(UpdateCheck::isNewer("9.9.9.9.9", "1.0"));
  EXPECT_FALSE(UpdateCheck::isNewer("2.0", "x"));
}

TEST(UpdateCheck, AllowsOnlyPrintableAsciiLinksUnderTheMakerRoot) {
  EXPECT_TRUE(UpdateCheck::isAllowedLink(site("dl/Lumenrail-1.2.0.tar.gz")));
  EXPECT_TRUE(UpdateCheck::isAllowedLink(site("")));
  EXPECT_TRUE(UpdateCheck::isAllowedLink(site("dl?x=1&y=~%20")));
  for (const std::string& bad : {
           std::string("http://quillmark.example/dl"),
           std::string("https://elsewhere.example/") ,
           std::string("javascript:alert(1)"),
           site("a b"),
           site("a\"b"),
           site("a\\b"),
           site("a\tb"),
           site("a\nb"),
           site("a\x7F"),
           site("caf\xC3\xA9"),
           site(std::string("a\0b", 3)),
       }) {
    EXPECT_FALSE(UpdateCheck::isAllowedLink(bad)) << bad;
  }
  // A prefix that merely looks like the root (no trailing slash) is not the root.
  std::string root(UpdateCheck::allowedLinkPrefix);
  root.pop_back();
  EXPECT_FALSE(UpdateCheck::isAllowedLink(root + ".evil.example/x"));
}

TEST(UpdateCheck, ReadsTheReleaseOfThePlatformEntry) {
  const std::string good = R"({"linux":{"version":"1.2.0","url":")" + site("dl/lr-1.2.0.tar.gz") +
                           R"(","min":"1.0.0"},"macos":{"version":"9.0","url":")" + site("mac") +
                           R"("},"min_client":3,"extra":[1,2]})";
  EXPECT_EQ(UpdateCheck::parseManifest(bytesOf(good), "linux"),
            (UpdateRelease{"1.2.0", site("dl/lr-1.2.0.tar.gz")}));
  EXPECT_EQ(UpdateCheck::parseManifest(bytesOf(good), "macos"), (UpdateRelease{"9.0", site("mac")}));
  EXPECT_EQ(UpdateCheck::parseManifest(bytesOf(good), "windows"), std::nullopt);

  const std::string url = site("dl");
  for (const std::string& bad : {
           std::string(""),
           std::string("not json"),
           std::string("[]"),
           std::string("\"linux\""),
           std::string(R"({"linux":[]})"),
           std::string(R"({"linux":"1.2"})"),
           R"({"linux":{"url":")" + url + R"("}})",
           std::string(R"({"linux":{"version":"1.2"}})"),
           R"({"linux":{"version":1.2,"url":")" + url + R"("}})",
           R"({"linux":{"version":"1.2.x","url":")" + url + R"("}})",
           std::string(R"({"linux":{"version":"1.2","url":"https://elsewhere.example/dl"}})"),
           R"({"linux":{"version":"1.2","url":")" + site("a b") + R"("}})",
           R"({"linux":{"version":"1.2","url":")" + url + R"("})",  // truncated
       }) {
    EXPECT_EQ(UpdateCheck::parseManifest(bytesOf(bad), "linux"), std::nullopt) << bad;
  }
}

TEST(UpdateCheck, ManifestInfoReadsMinOnlyWithARelease) {
  const std::string url = site("dl");
  const std::string full =
      R"({"linux":{"version":"1.2.0","url":")" + url + R"(","min":"1.0.0"},"min_client":3})";
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf(full), "linux"),
            (ManifestInfo{UpdateRelease{"1.2.0", url}, "1.0.0", 3}));

  const std::string badMin = R"({"linux":{"version":"1.2.0","url":")" + url + R"(","min":"one"}})";
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf(badMin), "linux"),
            (ManifestInfo{UpdateRelease{"1.2.0", url}, std::nullopt, 0}));

  // No usable release: "min" is not read.
  const std::string noRelease = R"({"linux":{"version":"bad","url":")" + url + R"(","min":"9.0"},"min_client":5})";
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf(noRelease), "linux"), (ManifestInfo{std::nullopt, std::nullopt, 5}));

  // Without the platform key there is still an answer.
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf(R"({"min_client":7})"), "linux"),
            (ManifestInfo{std::nullopt, std::nullopt, 7}));
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf("{}"), "linux"), ManifestInfo{});
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf("[1]"), "linux"), std::nullopt);
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf("{"), "linux"), std::nullopt);
}

TEST(UpdateCheck, MinClientIsAnIntegerInRangeOrZero) {
  struct Case {
    const char* json;
    int64_t expected;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"true", 0},     {"false", 0},  {"2.5", 0},     {"3.0", 0},  {"70000", 0},
           {"-1", 0},       {"\"3\"", 0},  {"null", 0},    {"[3]", 0},  {"{}", 0},
           {"65535", 65535}, {"65536", 0}, {"0", 0},       {"3", 3},    {"1e2", 0},
           {"18446744073709551615", 0},   {"-9223372036854775808", 0},
       }) {
    const auto value = nlohmann::json::parse(c.json);
    EXPECT_EQ(UpdateCheck::parseMinClient(&value), c.expected) << c.json;
    const std::string manifest = std::string(R"({"min_client":)") + c.json + "}";
    const auto info = UpdateCheck::parseManifestInfo(bytesOf(manifest), "linux");
    ASSERT_TRUE(info.has_value()) << manifest;
    EXPECT_EQ(info->minClient, c.expected) << manifest;
  }
  EXPECT_EQ(UpdateCheck::parseMinClient(nullptr), 0);
}

TEST(UpdateCheck, VerdictFollowsMinimumThenNewerRelease) {
  const UpdateRelease r120{"1.2.0", site("dl")};
  struct Case {
    std::optional<ManifestInfo> info;
    const char* running;
    HostUpdate verdict;
    const char* version;
  };
  for (const Case& c : std::initializer_list<Case>{
           {std::nullopt, "1.0", HostUpdate::none, ""},
           {ManifestInfo{}, "1.0", HostUpdate::none, ""},
           {ManifestInfo{r120, std::nullopt, 0}, "1.0", HostUpdate::available, "1.2.0"},
           {ManifestInfo{r120, std::nullopt, 0}, "1.2", HostUpdate::none, ""},
           {ManifestInfo{r120, std::nullopt, 0}, "1.3", HostUpdate::none, ""},
           {ManifestInfo{r120, "1.1", 0}, "1.0", HostUpdate::required, "1.2.0"},
           {ManifestInfo{r120, "1.3", 0}, "1.2.0", HostUpdate::required, ""},
           {ManifestInfo{r120, "1.0", 0}, "1.0", HostUpdate::available, "1.2.0"},
           {ManifestInfo{r120, "1.1", 0}, "dev", HostUpdate::none, ""},
           {ManifestInfo{std::nullopt, "9.0", 4}, "1.0", HostUpdate::required, ""},
       }) {
    const auto [verdict, version] = UpdateCheck::hostUpdate(c.running, c.info);
    EXPECT_EQ(verdict, c.verdict) << c.running;
    EXPECT_EQ(version, c.version) << c.running;
  }
}

TEST(UpdateCheck, EarlyChecksAtMostHourlyAndNeverAfterAFutureLast) {
  EXPECT_TRUE(UpdateCheck::recheckAllowed(1000.0, std::nullopt));
  EXPECT_TRUE(UpdateCheck::recheckAllowed(4600.0, 1000.0));
  EXPECT_FALSE(UpdateCheck::recheckAllowed(4599.9, 1000.0));
  EXPECT_FALSE(UpdateCheck::recheckAllowed(1000.0, 1000.0));
  EXPECT_FALSE(UpdateCheck::recheckAllowed(1000.0, 99999.0));
}

TEST(UpdateCheck, AnnouncesEachNewerVersionOnce) {
  EXPECT_TRUE(UpdateCheck::shouldAnnounce("1.2", std::nullopt));
  EXPECT_TRUE(UpdateCheck::shouldAnnounce("1.2", "garbage"));
  EXPECT_TRUE(UpdateCheck::shouldAnnounce("1.3", "1.2"));
  EXPECT_FALSE(UpdateCheck::shouldAnnounce("1.2", "1.2.0"));
  EXPECT_FALSE(UpdateCheck::shouldAnnounce("1.1", "1.2"));
  EXPECT_FALSE(UpdateCheck::shouldAnnounce("bad", std::nullopt));
}

TEST(UpdateCheck, HostileManifestsAreRefusedWithoutHarm) {
  // Deep nesting within the size cap.
  const std::string deep = R"({"linux":)" + std::string(30000, '[') + std::string(30000, ']') + "}";
  EXPECT_EQ(UpdateCheck::parseManifest(bytesOf(deep), "linux"), std::nullopt);
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf(deep), "linux"), (ManifestInfo{}));
  // Invalid UTF-8 inside a string makes the document unreadable.
  const std::string badUtf8 = "{\"linux\":{\"version\":\"1.2\xFF\",\"url\":\"" + site("dl") + "\"}}";
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf(badUtf8), "linux"), std::nullopt);
  // Bytes after the document.
  EXPECT_EQ(UpdateCheck::parseManifestInfo(bytesOf("{} {}"), "linux"), std::nullopt);
}

TEST(UpdateCheck, HostUpdateRawValuesAreTheWireBytes) {
  EXPECT_EQ(Wire::from<HostUpdate>(0), HostUpdate::none);
  EXPECT_EQ(Wire::from<HostUpdate>(1), HostUpdate::available);
  EXPECT_EQ(Wire::from<HostUpdate>(2), HostUpdate::required);
  EXPECT_EQ(Wire::from<HostUpdate>(3), std::nullopt);
  EXPECT_EQ(static_cast<uint8_t>(HostUpdate::required), 2);
}

}  // namespace
}  // namespace lumenrail

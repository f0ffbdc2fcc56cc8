// "--l10n-check" as the built program, with string tables beside a link of
// the executable: found and translated, missing, and present but untranslated.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/HostProcess.hpp"
#include "text/StringBundle.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

// The program linked (or copied) into a fresh folder, so the folder beside
// the executable is one the test controls. The folder sits in the build tree:
// a hard link needs the same file system.
class ProgramCopy {
 public:
  ProgramCopy() {
    std::string pattern = (fs::path(LUMENRAILHOST_BINARY).parent_path().parent_path() / "l10n-check-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "bin");
    std::error_code ec;
    fs::create_hard_link(LUMENRAILHOST_BINARY, binary(), ec);
    if (ec) fs::copy_file(LUMENRAILHOST_BINARY, binary());
  }
  ~ProgramCopy() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path binary() const { return root_ / "bin" / "lumenrailhost"; }
  fs::path bundle() const { return root_ / "bin" / StringBundle::kFolderName; }
  // Where an installed tree keeps it: among the resources in share/lumenrail.
  fs::path installedBundle() const { return root_ / "share" / "lumenrail" / StringBundle::kFolderName; }
  void writeTable(const std::string& tag, const std::string& json, bool installed = false) const {
    const fs::path folder = (installed ? installedBundle() : bundle()) / (tag + ".lproj");
    fs::create_directories(folder);
    std::ofstream(folder / "Localizable.json") << json;
  }
  std::pair<int, std::string> run() const {
    const std::string r = root_.string();
    test::HostProcess host(binary().string(), {"--l10n-check", "--support-report"},
                           {"HOME=" + r, "XDG_CONFIG_HOME=" + r + "/config", "LANG=fr_FR.UTF-8", "LANGUAGE=", "LC_ALL=", "LC_MESSAGES="});
    const int status = host.waitExit();
    return {status, host.output()};
  }

 private:
  fs::path root_;
};

TEST(L10nCheckAcceptance, ReportsTheTablesAndTheTranslatedHostName) {
  ProgramCopy program;
  program.writeTable("Base", R"({"app.hostName": "%@ Host"})");
  program.writeTable("en", R"({"app.hostName": "%@ Host"})");
  program.writeTable("fr", R"({"app.hostName": "Hôte %@"})");
  const auto [status, output] = program.run();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "l10n-check: bundle " + program.bundle().string() +
                        "\n"
                        "l10n-check: localizations [\"Base\", \"en\", \"fr\"] preferred [\"fr\"]\n"
                        "l10n-check: app.hostName = Hôte Lumenrail\n");
}

TEST(L10nCheckAcceptance, AnInstalledTreeReadsItsResourcesFirst) {
  ProgramCopy program;
  program.writeTable("Base", R"({"app.hostName": "%@ Host"})", true);
  program.writeTable("Base", R"({"app.hostName": "%@ beside the program"})");
  const auto [status, output] = program.run();
  EXPECT_EQ(status, 0);
  EXPECT_NE(output.find("l10n-check: bundle " + fs::canonical(program.installedBundle()).string() + "\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("l10n-check: localizations [\"Base\"] preferred [\"Base\"]\n"), std::string::npos) << output;
  EXPECT_NE(output.find("app.hostName = Lumenrail Host\n"), std::string::npos) << output;
}

TEST(L10nCheckAcceptance, FailsWithoutTablesAndSaysSoOnce) {
  ProgramCopy program;
  const auto [status, output] = program.run();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(output,
            "[l10n] LumenrailHost_lumenrailhost.bundle not found next to the executable - the UI shows raw keys\n"
            "l10n-check: FAIL - LumenrailHost_lumenrailhost.bundle not found\n");
}

TEST(L10nCheckAcceptance, FailsWhenTheHostNameIsUntranslated) {
  ProgramCopy program;
  program.writeTable("Base", R"({"other.key": "text"})");
  const auto [status, output] = program.run();
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("l10n-check: app.hostName = app.hostName\n"), std::string::npos) << output;
}

}  // namespace
}  // namespace lumenrail

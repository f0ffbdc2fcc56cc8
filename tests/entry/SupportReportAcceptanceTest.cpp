// "--support-report" run as the built program: without a display (no Qt
// application, no X) and on a private X server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/UserDefaults.hpp"
#include "support/HostProcess.hpp"
#include "support/TempFolder.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

struct ReportRun {
  test::TempFolder home{"lumenrail-report"};

  ReportRun() {
    const std::string config = home.path("config");
    std::filesystem::create_directories(config + "/lumenrail");
    UserDefaults defaults(config + "/lumenrail/defaults.json", UserDefaults::kStandardDomain);
    EXPECT_EQ(defaults.set({{"host.width", 2560},
                            {"host.height", 1600},
                            {"host.fps", 120},
                            {"host.port", 28000},
                            {"host.usbEnabled", false},
                            {"host.connectNotice", "always"}}),
              "");
    std::filesystem::create_directories(home.path("state/Lumenrail"));
    std::ofstream(home.path("state/Lumenrail/host.log")) << "[m2] up\n[wire] client lost\nlast line\n";
  }

  std::pair<int, std::string> run(const std::string& display, const std::string& binary = LUMENRAILHOST_BINARY,
                                  const std::string& lang = "de_DE.UTF-8") {
    const std::string r = home.root().string();
    test::HostProcess host(binary, {"--support-report"},
                           {"HOME=" + r, "XDG_CONFIG_HOME=" + r + "/config", "XDG_STATE_HOME=" + r + "/state",
                            "DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "LANG=" + lang, "LANGUAGE=", "LC_ALL=",
                            "LC_MESSAGES="});
    const int status = host.waitExit();
    return {status, host.output()};
  }
};

TEST(SupportReportAcceptance, PrintsTheSectionsInOrderWithoutADisplay) {
  ReportRun run;
  const auto [status, out] = run.run("");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.rfind("Lumenrail support report (format 1)\n—\nApp: Lumenrail 1.0.9 (build 1)\nLinux ", 0), 0u) << out;
  size_t at = 0;
  for (const char* part : {"\n[app]\n", "\n[os]\n", "\n[displays]\ndisplays: none reported\n",
                           "\n[permissions]\nscreen capture: NOT granted\n", "\n[crash reports]\ncount: ",
                           "\n[host state]\nstate: printed by --support-report, not the running host\n",
                           "\n[settings]\nwidth: 2560\nheight: 1600\nfps: 120\ncaptureMain: false\npenHighRate: false\n"
                           "port: 28000\nusbEnabled: false\nsecureWifi: true\npairingEnabled: true\nkeyOnlyLinks: false\n"
                           "autoStart: true\n"
                           "launchAtLogin: false\ncheckForUpdates: true\nconnectNotice: always\n",
                           "\n[log: host, notable lines]\n(last 200 lines at most)\n[wire] client lost\n",
                           "\n[log: host]\n(last 400 lines at most)\n[m2] up\n[wire] client lost\nlast line\n"}) {
    const size_t found = out.find(part, at);
    ASSERT_NE(found, std::string::npos) << part << "\n---\n" << out;
    at = found + std::string(part).size();
  }
  EXPECT_EQ(at, out.size()) << "nothing follows the last log, no line end added";
  EXPECT_NE(out.find("\nlog file: " + run.home.path("state/Lumenrail/host.log") + "\n"), std::string::npos);
  // The locale the user set, not the name ICU gives the C locale ("en_US_POSIX").
  const std::string plain = run.run("", LUMENRAILHOST_BINARY, "C.UTF-8").second;
  EXPECT_NE(plain.find("\nlocale: C.UTF-8\n"), std::string::npos) << plain;
}

TEST(SupportReportAcceptance, ListsTheScreensOfTheXServer) {
  test::PrivateXServer x(test::PrivateXServer::Options{1280, 800, 24});
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  ReportRun run;
  const auto [status, out] = run.run(x.display());
  EXPECT_EQ(status, 0);
  const size_t displays = out.find("\n[displays]\ndisplay 1: screen | 1280x800 pt at (0,0) | scale 1.0 | ");
  ASSERT_NE(displays, std::string::npos) << out;
  EXPECT_NE(out.find(" Hz | main\n\n[permissions]\nscreen capture: granted\n", displays), std::string::npos) << out;
}

TEST(SupportReportAcceptance, AnInstalledTreeReportsItselfAndThePickedLanguage) {
  namespace fs = std::filesystem;
  // An installed tree in the build folder (a hard link needs one file system).
  std::string pattern = (fs::path(LUMENRAILHOST_BINARY).parent_path().parent_path() / "report-tree-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path tree = pattern;
  fs::create_directories(tree / "bin");
  std::error_code ec;
  fs::create_hard_link(LUMENRAILHOST_BINARY, tree / "bin/lumenrailhost", ec);
  if (ec) fs::copy_file(LUMENRAILHOST_BINARY, tree / "bin/lumenrailhost");
  for (const char* tag : {"Base", "en", "fr"}) {
    const fs::path folder = tree / "share/lumenrail/LumenrailHost_lumenrailhost.bundle" / (std::string(tag) + ".lproj");
    fs::create_directories(folder);
    std::ofstream(folder / "Localizable.json") << R"({"app.hostName": "%@"})";
  }
  ReportRun run;
  UserDefaults(run.home.path("config/lumenrail/defaults.json"), UserDefaults::kStandardDomain)
      .set({{"AppleLanguages", {"fr-CA"}}});
  fs::create_directories(run.home.path("config/autostart"));
  std::ofstream(run.home.path("config/autostart/lumenrail-host.desktop")) << "[Desktop Entry]\nExec=lumenrailhost\n";
  const auto [status, out] = run.run("", (tree / "bin/lumenrailhost").string());
  fs::remove_all(tree, ec);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("\n[app]\nversion: 1.0.9 (build 1)\nbundle: " + (tree / "bin/lumenrailhost").string() +
                     "\ninstalled copy: yes\nui language: fr (picked: fr)\nopen at login: yes\n"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace lumenrail

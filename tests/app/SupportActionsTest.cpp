// The support report from fixed facts, the mail link the opener receives and
// the restart-pending rule.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <mutex>

#include "app/controller/SupportActions.hpp"
#include "support/AppPortFakes.hpp"
#include "support/TempFolder.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

constexpr int64_t kDec8 = 1796714590;  // 2026-12-08T07:23:10Z

SupportFacts fixedFacts() {
  SupportFacts f;
  f.executable = "/opt/lumenrail/bin/lumenrailhost";
  f.installed = true;
  f.uiLanguage = "de";
  f.languageOverride = "de";
  f.openAtLogin = true;
  f.now = kDec8;
  f.logModified = kDec8 - 60;
  f.logBytes = 5000;
  f.kernelRelease = "6.1.0-18-amd64";
  f.systemName = "Debian GNU/Linux 12 (bookworm)";
  f.architecture = "x86_64";
  f.model = "";  // unreadable DMI
  f.chip = "AMD Ryzen 7 7840U";
  f.memoryBytes = uint64_t{16} << 30;
  f.locale = "de_DE";
  f.languages = {"de-DE", "de", "en", "fr", "it"};
  f.uptimeSeconds = 7325.9;
  f.thermalState = 1;
  f.screens = {{"DP-1", 0, 0, 2560, 1440, 1.0, 60, true}, {"HDMI-1", 2560, 0, 1920, 1080, 1.0, 75, false}};
  f.sessionType = "wayland";
  f.desktop = "GNOME on Wayland (wayland-0)";
  f.screenCapture = true;
  f.mayPostInput = false;
  f.crashFiles = {{"core.lumenrailhost.1000.b1.77.1.zst", kDec8 - 3600}, {"core.bash.0.b1.9.1.zst", kDec8}};
  return f;
}

TEST(SupportActions, ReportFromFixedFacts) {
  test::TempFolder dir;
  const std::string log = dir.path("host.log");
  std::ofstream(log) << "[m2] up\n[wire] client disconnected\n[wire] client disconnected\nquiet\n";
  const auto live = [] {
    return std::vector<SupportReport::Section>{{"host state", {{"phase", "serving"}}}, {"settings", {{"fps", "60"}}}};
  };
  const std::string expected =
      "Lumenrail support report (format 1)\n"
      "—\nApp: Lumenrail 1.0.9 (build 1)\n"
      "Linux 6.1.0-18-amd64 (Debian GNU/Linux 12 (bookworm)), x86_64\n"
      "AMD Ryzen 7 7840U, 16 GB\n"
      "\n[app]\n"
      "version: 1.0.9 (build 1)\n"
      "bundle: /opt/lumenrail/bin/lumenrailhost\n"
      "installed copy: yes\n"
      "ui language: de (picked: de)\n"
      "open at login: yes\n"
      "log file: " + log + "\n"
      "report made: 2026-12-08T07:23:10Z\n"
      "license: GPL-3.0-or-later\n"
      "process uptime: 2 min\n"
      "log last written: 2026-12-08T07:22:10Z, 4 KB\n"
      "\n[os]\n"
      "version: Linux 6.1.0-18-amd64 (Debian GNU/Linux 12 (bookworm)), x86_64\n"
      "model: (none)\n"
      "chip: AMD Ryzen 7 7840U\n"
      "architecture: x86_64\n"
      "memory: 16384 MB\n"
      "locale: de_DE\n"
      "languages: de-DE, de, en, fr\n"
      "uptime: 122 min\n"
      "power profile: not low-power\n"
      "thermal zones: 1 (0 below every trip point, 1 passive, 2 hot, 3 critical)\n"
      "session type: wayland\n"
      "desktop: GNOME on Wayland (wayland-0)\n"
      "\n[displays]\n"
      "display 1: DP-1 | 2560x1440 pt at (0,0) | scale 1.0 | 60 Hz | main\n"
      "display 2: HDMI-1 | 1920x1080 pt at (2560,0) | scale 1.0 | 75 Hz\n"
      "\n[permissions]\n"
      "screen capture: granted\n"
      "input injection: NOT granted\n"
      "\n[crash reports]\n"
      "count: 1\n"
      "report 1: 2026-12-08T06:23:10Z | core.lumenrailhost.1000.b1.77.1.zst\n"
      "\n[host state]\nphase: serving\n"
      "\n[settings]\nfps: 60\n"
      "\n[log: host, notable lines]\n(last 200 lines at most)\n[wire] client disconnected  (x2)\n"
      "\n[log: host]\n(last 400 lines at most)\n"
      "[m2] up\n[wire] client disconnected\n[wire] client disconnected\nquiet\n";
  EXPECT_EQ(SupportActions::buildReport(fixedFacts(), live, 7325.9 - 125, log), expected);

  // Outside the tray application: no uptime row, no screens, the fixed host
  // state, and a system whose name is unknown.
  SupportFacts bare = fixedFacts();
  bare.screens.clear();
  bare.systemName.clear();
  bare.languageOverride.clear();
  bare.uiLanguage.clear();
  const std::string text = SupportActions::buildReport(bare, nullptr, std::nullopt, dir.path("absent.log"));
  for (const char* part :
       {"\nLinux 6.1.0-18-amd64, x86_64\n", "ui language: ? (follows Linux)\n", "[displays]\ndisplays: none reported\n",
        "\n[host state]\nstate: no tray host in this process\n\n[log: host, notable lines]\n(not found)\n"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
  EXPECT_EQ(text.find("process uptime"), std::string::npos);
}

TEST(SupportActions, FeedbackMailLinkReachesTheOpenerEncodedOnce) {
  const std::string head =
      "mailto:support@quillmark.example?subject=Lumenrail%201.0.9%20%E2%80%94%20feedback&body=support.mail.prompt";
  const std::string block = "%0D%0A%0D%0A%0D%0A%0D%0A%E2%80%94%0D%0AApp%3A%20Lumenrail%201.0.9%20%28build%201%29%0D%0A";
  for (const bool copied : {true, false}) {
    SCOPED_TRACE(copied);
    test::FakeClipboard clipboard;
    clipboard.takes = copied;
    test::FakeOpener opener;
    opener.answers = false;
    std::vector<std::string> lines;
    std::vector<std::pair<std::string, std::string>> alerts;
    SupportActions::sendFeedback(
        clipboard, opener, [&](const std::string& m, const std::string& i) { alerts.emplace_back(m, i); },
        [&](const std::string& l) { lines.push_back(l); });

    ASSERT_EQ(opener.opened.size(), 1u);
    const std::string& url = opener.opened[0];
    const std::string expectedStart = head + (copied ? "%0D%0A%0D%0A%0D%0A%0D%0Asupport.mail.paste" : "") + block;
    EXPECT_EQ(url.substr(0, expectedStart.size()), expectedStart);
    EXPECT_EQ(url.find("%25"), std::string::npos) << url;  // nothing escaped twice
    EXPECT_EQ(clipboard.text.rfind("Lumenrail support report (format 1)\n", 0), 0u);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[support] report (" + std::to_string(clipboard.text.size()) + " bytes) " +
                            (copied ? "copied to the pasteboard" : "NOT copied"));
    EXPECT_EQ(lines[1], "[support] mail draft: no mail app answered");
    EXPECT_EQ(alerts, (std::vector<std::pair<std::string, std::string>>{{"Lumenrail", "support.noMailApp"}}));
  }
}

TEST(SupportActions, RestartPendingOnlyForRestartFieldsWhileRunning) {
  const HostSettings running = HostSettings::shipDefaults();
  HostSettings notice = running;
  notice.connectNotice = ConnectNotice::off;
  notice.launchAtLogin = true;
  notice.captureMain = true;
  HostSettings port = running;
  port.port = 9000;
  EXPECT_EQ(SupportActions::restartPending(running, notice), "no");
  EXPECT_EQ(SupportActions::restartPending(running, port), "yes");
  EXPECT_EQ(SupportActions::restartPending(std::nullopt, port), "no");
  EXPECT_EQ(SupportActions::helpURL(""), "https://lumenrail.quillmark.example/wiki/help/troubleshooting/");
}

}  // namespace
}  // namespace lumenrail

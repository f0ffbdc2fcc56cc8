// The one-shot modes of the built program, run from outside with a private
// home and a fake usbmuxd.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "links/LanAddress.hpp"
#include "links/UsbmuxClient.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/FakeUsbmuxd.hpp"
#include "support/HostProcess.hpp"
#include "support/WireTestClient.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;
using test::FakeUsbmuxd;
using Reply = FakeUsbmuxd::Reply;

const std::string& kDevices = FakeUsbmuxd::kNetworkAndUsbDevices;
const std::string kNoDevices = "<key>DeviceList</key><array/>\n";
constexpr auto dict = &FakeUsbmuxd::dictReply;
constexpr auto result = &FakeUsbmuxd::resultReply;
constexpr auto isList = &FakeUsbmuxd::isListDevices;

// A private home for one run: every XDG folder inside it, usbmuxd where the test says.
class Home {
 public:
  Home() {
    std::string pattern = (fs::temp_directory_path() / "lumenrail-home-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  ~Home() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& root() const { return root_; }
  std::vector<std::string> env(const std::string& usbmuxd = FakeUsbmuxd::freshPath()) const {
    const std::string r = root_.string();
    return {"HOME=" + r, "XDG_CONFIG_HOME=" + r + "/config", "XDG_DATA_HOME=" + r + "/data",
            "XDG_STATE_HOME=" + r + "/state", "USBMUXD_SOCKET_ADDRESS=UNIX:" + usbmuxd};
  }
  // Runs the program to its end: exit status and everything it printed.
  std::pair<int, std::string> run(const std::vector<std::string>& args, std::vector<std::string> extra = {},
                                  const std::string& usbmuxd = FakeUsbmuxd::freshPath()) const {
    auto env = this->env(usbmuxd);
    env.insert(env.end(), extra.begin(), extra.end());
    test::HostProcess host(LUMENRAILHOST_BINARY, args, env);
    const int status = host.waitExit();
    return {status, host.output()};
  }

 private:
  fs::path root_;
};

TEST(HostModesAcceptance, VersionPrintsOnlyTheVersionLines) {
  Home home;
  const auto [status, out] = home.run({"--usb-list", "--version", "--m2"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, std::string("Lumenrail Host\nversion ") + LUMENRAIL_VERSION + "\n");
}

TEST(HostModesAcceptance, PrintConfigReportsTheCommandLineByItsLastOccurrences) {
  Home home;
  const auto [status, out] =
      home.run({"--print-config", "--width", "800", "--width", "1024", "--fps", "30", "--capture-main",
                "--no-capture-main", "--pen-hirate", "--usb", "--secure", "--no-secure", "--pair", "--port", "0"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out,
            "== lumenrail Linux host — resolved config ==\n"
            "  source     : CLI defaults [raw binary]\n"
            "  display    : 1024x720@30 EXTEND pen-hirate\n"
            "  transports : wifi :0 + USB cable CLEAR + pairing\n"
            "  behaviour  : autostart=true loginItem=false (available=false)\n");
}

TEST(HostModesAcceptance, PrintConfigInApplicationModeStartsFromTheStoredSettings) {
  Home home;
  fs::create_directories(home.root() / "config/lumenrail");
  std::ofstream(home.root() / "config/lumenrail/defaults.json")
      << R"({"lumenrail": {"host.width": 2560, "host.height": 1600, "host.fps": 120, "host.captureMain": true,
             "host.port": 70000, "host.secureWifi": false, "host.usbEnabled": true, "host.autoStart": false}})";
  const auto [status, out] = home.run({"--app", "--print-config", "--fps", "90"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("  source     : settings store (app) [raw binary]\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  display    : 2560x1600@90 mirror-main\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  transports : wifi :27184 + USB cable CLEAR + pairing\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  behaviour  : autostart=false"), std::string::npos) << out;
}

// A settings file anyone may write (as in a shared 0777 folder) that turns
// pairing and encryption off is refused: the application serves on the
// shipped defaults and says why.
TEST(HostModesAcceptance, ASettingsFileOthersMayWriteIsRefused) {
  Home home;
  const fs::path folder = home.root() / "config/lumenrail";
  fs::create_directories(folder);
  std::ofstream(folder / "defaults.json")
      << R"({"lumenrail": {"host.pairingEnabled": false, "host.secureWifi": false, "host.width": 800}})";
  fs::permissions(folder / "defaults.json", fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                                                ~fs::perms::others_exec);
  fs::permissions(folder, fs::perms::all);
  const auto [status, out] = home.run({"--app", "--print-config"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("[app] WARN: the settings file " + (folder / "defaults.json").string() + " is not used ("),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  display    : 1920x1080@60"), std::string::npos) << out;
  EXPECT_NE(out.find(" + pairing\n"), std::string::npos) << out;
}

TEST(HostModesAcceptance, UsbListPrintsTheDevicesOrSaysWhyNot) {
  Home home;
  {
    FakeUsbmuxd fake([](const auto&) { return dict(kDevices); });
    const auto [status, out] = home.run({"--usb-list"}, {}, fake.path());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out,
              "== lumenrail Linux host — usbmux device list ==\n"
              "  DeviceID 3  Network  net-1\n"
              "  DeviceID 5  USB      usb-5\n"
              "USB tunnels dial :27184 on the device app.\n");
  }
  {
    FakeUsbmuxd fake([](const auto&) { return dict(kNoDevices); });
    const auto [status, out] = home.run({"--usb-list"}, {}, fake.path());
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("no devices attached (is an iPhone/iPad plugged in + trusted?)\n"), std::string::npos) << out;
  }
  const std::string nowhere = FakeUsbmuxd::freshPath();
  const auto [status, out] = home.run({"--usb-list"}, {}, nowhere);
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("usbmuxd error: connect(" + nowhere +
                     ") failed: No such file or directory (errno 2) — usbmuxd is not running; it starts when an "
                     "iPhone or iPad is plugged in (Debian package usbmuxd)\n"),
            std::string::npos)
      << out;
}

TEST(HostModesAcceptance, UsbDiagListsOnTheMainThreadAndFiveTimesInTheBackground) {
  Home home;
  FakeUsbmuxd fake([](const auto&) { return dict(kDevices); });
  const auto [status, out] = home.run({"--usb-diag"}, {}, fake.path());
  EXPECT_EQ(status, 0);
  std::string expected = "== lumenrail usbmux diag — main vs background thread ==\n";
  for (const char* label : {"main", "bg#1", "bg#2", "bg#3", "bg#4", "bg#5"}) {
    expected += std::string("  [") + label + "] listDevices → 2 total, 1 USB: 5/USB\n";
  }
  EXPECT_EQ(out, expected + "== diag done ==\n");
}

TEST(HostModesAcceptance, UsbConnectTestDialsTheFirstUsbDeviceThreeTimes) {
  Home home;
  {
    FakeUsbmuxd fake([](const FakeUsbmuxd::Request& r) { return isList(r) ? dict(kDevices) : result(3); });
    const auto [status, out] = home.run({"--usb-connect-test", "--port", "4100"}, {}, fake.path());
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(out.starts_with("== lumenrail usbmux connect test — dialing :4100 ==\n  device 5 (usb-5)\n")) << out;
    for (int attempt = 1; attempt <= 3; ++attempt) {
      EXPECT_NE(out.find("  attempt " + std::to_string(attempt) +
                         ": usbmuxd Connect refused: Result 3 (port not available — is the app listening?)\n"),
                std::string::npos)
          << out;
    }
    for (const auto& r : fake.requests()) {
      if (!isList(r)) {
        EXPECT_EQ(r.integers.at("PortNumber"), UsbmuxClient::networkOrderPort(4100));
      }
    }
  }
  {
    FakeUsbmuxd fake([](const FakeUsbmuxd::Request& r) { return isList(r) ? dict(kDevices) : result(0); });
    const auto [status, out] = home.run({"--usb-connect-test"}, {}, fake.path());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
    EXPECT_NE(out.find("  attempt 3: CONNECTED (fd "), std::string::npos) << out;
    EXPECT_NE(out.find(") — tunnel up, app IS listening\n"), std::string::npos) << out;
  }
  FakeUsbmuxd networkOnly([](const auto&) {
    return dict(
        "<key>DeviceList</key><array><dict><key>DeviceID</key><integer>3</integer><key>Properties</key><dict>"
        "<key>ConnectionType</key><string>Network</string></dict></dict></array>\n");
  });
  const auto [status, out] = home.run({"--usb-connect-test"}, {}, networkOnly.path());
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(out.ends_with("no USB device\n")) << out;
}

TEST(HostModesAcceptance, UsbServeTestServesHelloThroughTheTunnelForFifteenSeconds) {
  Home home;
  FakeUsbmuxd fake([](const FakeUsbmuxd::Request& r) { return isList(r) ? dict(kDevices) : result(0); });
  auto env = home.env(fake.path());
  test::HostProcess host(LUMENRAILHOST_BINARY, {"--usb-serve-test"}, env);
  const int tunnel = fake.takeTunnel(20000);
  ASSERT_GE(tunnel, 0) << host.output();
  auto device = test::WireTestClient::fromFd(tunnel);
  auto hello = device.readUntil(test::Code::hello);
  host.waitFor("[wire] ", 2'000'000'000);
  ASSERT_TRUE(hello) << host.output();
  EXPECT_EQ(test::le32(hello->payload, 4), 1280u);
  EXPECT_EQ(test::le32(hello->payload, 8), 720u);
  ASSERT_TRUE(device.send(test::Code::clientMode, test::WireTestClient::clientMode(1024, 768, 60)));
  EXPECT_TRUE(host.waitFor("  [wire] ← ClientMode (fd ")) << host.output();
  EXPECT_EQ(host.waitExit(), 0);
  EXPECT_TRUE(host.output().starts_with("== lumenrail usbmux bridge test — real UsbmuxServeBridge, 15s ==\n"));
  EXPECT_NE(host.output().find(") 1024x768@60\n"), std::string::npos) << host.output();
  EXPECT_NE(host.output().find("  [usb] "), std::string::npos) << host.output();
  EXPECT_TRUE(host.output().ends_with("== bridge test done ==\n")) << host.output();
}

TEST(HostModesAcceptance, PairUriWithAndWithoutTheSecureKey) {
  Home home;
  const auto lan = LanAddress::pickIPv4();
  const auto plain = home.run({"--pair-uri", "--port", "4321"});
  const auto secure = home.run({"--pair-uri", "--secure"});
  if (!lan) {
    EXPECT_EQ(plain.first, 1);
    EXPECT_EQ(plain.second, "no usable LAN IPv4 (offline?) — cable-only\n");
    EXPECT_EQ(secure.first, 1);
    GTEST_SKIP() << "no LAN address here: only the offline answer was checked";
  }
  EXPECT_EQ(plain.first, 0);
  EXPECT_TRUE(std::regex_match(plain.second, std::regex("https://[^/]+(/[^?]*)?/pair\\?v=1&h=" +
                                                        std::regex_replace(*lan, std::regex("\\."), "\\.") +
                                                        "&p=4321\n")))
      << plain.second;
  EXPECT_EQ(secure.first, 0);
  // 24 random bytes: 32 characters of Base64url, never the same twice.
  EXPECT_TRUE(std::regex_match(secure.second, std::regex("https://.*&p=27184#k=[A-Za-z0-9_-]{32}\n"))) << secure.second;
  EXPECT_NE(secure.second, home.run({"--pair-uri", "--secure"}).second);
}

TEST(HostModesAcceptance, TheScaffoldEncodesGeneratedFrames) {
  Home home;
  {
    const auto [status, out] = home.run({"--no-vd", "--frames", "12", "--width", "320", "--height", "240", "--fps", "30"});
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(out.starts_with("== lumenrail Linux host — M0 scaffold ==\nconfig: 320x240 @30fps, 12 frames\n"
                                "[vd] skipped (--no-vd)\n[enc] started, hardware=false\n[au] #1 "))
        << out;
    EXPECT_NE(out.find("[enc] done: 12 AUs, 1 keyframes, "), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("RESULT: M0 PASS\n")) << out;
  }
  // Without a display there is no virtual display: the scaffold fails.
  const auto [status, out] = home.run({"--m0", "--frames", "2", "--width", "64", "--height", "64"},
                                      {"DISPLAY=:987654"});
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("[vd] cannot open the X display"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("RESULT: M0 FAIL\n")) << out;
}

TEST(HostModesAcceptance, TheScaffoldAddsItsVirtualDisplayAndTakesItAwayAgain) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  auto displays = X11DisplayConfiguration::open(x.display());
  const auto before = displays->activeDisplays();
  Home home;
  const auto [status, out] = home.run({"--m0", "--frames", "3", "--width", "640", "--height", "480", "--fps", "30"},
                                      {"DISPLAY=" + x.display()});
  EXPECT_EQ(status, 0) << out;
  const std::string counts =
      " activeDisplays " + std::to_string(before.size()) + "→" + std::to_string(before.size() + 1) + "\n";
  EXPECT_NE(out.find("[vd] create=ok displayID="), std::string::npos) << out;
  EXPECT_NE(out.find(counts), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("RESULT: M0 PASS\n")) << out;
  EXPECT_EQ(displays->activeDisplays(), before);
}

// The program as installed: <prefix>/bin beside <prefix>/share/lumenrail.
class InstalledCopy {
 public:
  explicit InstalledCopy(const fs::path& prefix) : binary_(prefix / "bin/lumenrailhost") {
    fs::create_directories(prefix / "bin");
    fs::create_directories(prefix / "share/lumenrail");
    std::error_code ec;
    fs::create_hard_link(LUMENRAILHOST_BINARY, binary_, ec);
    if (ec) fs::copy_file(LUMENRAILHOST_BINARY, binary_, ec);
    EXPECT_FALSE(ec) << ec.message();
  }
  const std::string binary() const { return binary_.string(); }

 private:
  fs::path binary_;
};

TEST(HostModesAcceptance, AnInstalledApplicationStartWritesToTheHostLogAndDiagnosticsToTheTerminal) {
  Home home;
  InstalledCopy installed(home.root() / "prefix");
  const fs::path log = home.root() / "state/Lumenrail/host.log";
  {
    auto env = home.env();
    env.push_back("DISPLAY=");
    test::HostProcess host(installed.binary(), {}, env);
    EXPECT_EQ(host.waitExit(), 2);
    EXPECT_EQ(host.output(), "");
  }
  std::ifstream in(log);
  std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("[app] ERROR: the tray application cannot show its windows: no desktop"), std::string::npos) << logged;
  {
    test::HostProcess host(installed.binary(), {"--print-config"}, home.env());
    EXPECT_EQ(host.waitExit(), 0);
    EXPECT_NE(host.output().find("  source     : settings store (app) [bundled]\n"), std::string::npos)
        << host.output();
    EXPECT_NE(host.output().find("loginItem=false (available=true)"), std::string::npos) << host.output();
  }
  // An enabled autostart entry is the login item.
  fs::create_directories(home.root() / "config/autostart");
  std::ofstream(home.root() / "config/autostart/lumenrail-host.desktop") << "[Desktop Entry]\nType=Application\n";
  test::HostProcess host(installed.binary(), {"--print-config", "--m2"}, home.env());
  EXPECT_EQ(host.waitExit(), 0);
  EXPECT_NE(host.output().find("  source     : CLI defaults [bundled]\n"), std::string::npos) << host.output();
  EXPECT_NE(host.output().find("loginItem=true (available=true)"), std::string::npos) << host.output();
  // An entry hidden by the desktop is no login item, however it is spaced.
  std::ofstream(home.root() / "config/autostart/lumenrail-host.desktop")
      << "[Desktop Entry]\nType=Application\nHidden = true \n";
  test::HostProcess hidden(installed.binary(), {"--print-config"}, home.env());
  EXPECT_EQ(hidden.waitExit(), 0);
  EXPECT_NE(hidden.output().find("loginItem=false (available=true)"), std::string::npos) << hidden.output();
  // Nothing more reached the log: the log is appended to, never truncated.
  std::ifstream again(log);
  std::string after((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, logged);
}

TEST(HostModesAcceptance, AHostLogThatCannotBeOpenedLeavesTheOutputOnTheTerminal) {
  Home home;
  InstalledCopy installed(home.root() / "prefix");
  fs::create_directories(home.root() / "state/Lumenrail/host.log");  // a folder where the file should be
  auto env = home.env();
  env.push_back("DISPLAY=");
  test::HostProcess host(installed.binary(), {}, env);
  EXPECT_EQ(host.waitExit(), 2);
  EXPECT_NE(host.output().find("[app] ERROR: the tray application cannot show its windows: no desktop"), std::string::npos)
      << host.output();
}

TEST(HostModesAcceptance, PrintConfigShowsWhatTheCaptureServeServes) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Home home;
  const std::vector<std::string> args = {"--width", "640", "--width", "320", "--height", "240", "--fps", "30",
                                         "--capture-main", "--no-capture-main", "--capture-main", "--port", "0"};
  auto printArgs = args;
  printArgs.insert(printArgs.begin(), "--print-config");
  const auto printed = home.run(printArgs);
  EXPECT_NE(printed.second.find("  display    : 320x240@30 mirror-main\n"), std::string::npos) << printed.second;

  auto serveArgs = args;
  serveArgs.insert(serveArgs.begin(), "--m2");
  auto env = home.env();
  env.push_back("DISPLAY=" + x.display());
  test::HostProcess host(LUMENRAILHOST_BINARY, serveArgs, env);
  ASSERT_TRUE(host.waitFor("[m2] capturing + serving 320x240@30")) << host.output();
  EXPECT_EQ(host.output().find("virtual display"), std::string::npos) << host.output();
  EXPECT_EQ(host.terminate(), 0) << host.output();
}

}  // namespace
}  // namespace lumenrail

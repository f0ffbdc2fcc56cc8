// Settings record, command-line overrides, the defaults store, the announcer
// and data removal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/UserDefaults.hpp"
#include "settings/ConnectAnnouncer.hpp"
#include "settings/HostDataRemoval.hpp"
#include "settings/HostSettingsStore.hpp"
#include "support/EventLog.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

HostSettings apply(const HostSettings& base, std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/lumenrailhost");
  return base.applyingArguments(args);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/lumenrail-settings-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& leaf) const { return path_ + "/" + leaf; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(HostSettingsArguments, LastOccurrenceWinsAndBadValuesLeaveTheField) {
  const HostSettings base = HostSettings::cliDefaults();
  EXPECT_EQ(apply(base, {}), base);
  EXPECT_EQ(apply(base, {"--serve", "x"}), base);
  EXPECT_EQ(apply(base, {"--width", "800", "--width", "wide"}).width, base.width);
  EXPECT_EQ(apply(base, {"--width", "+640"}).width, 640);
  EXPECT_EQ(apply(base, {"--width", "0"}).width, base.width);
  EXPECT_EQ(apply(base, {"--width", "-5"}).width, base.width);
  EXPECT_EQ(apply(base, {"--width", "+-5"}).width, base.width);
  EXPECT_EQ(apply(base, {"--width"}).width, base.width);
  EXPECT_EQ(apply(base, {"--height", "99999999999999999999"}).height, base.height);
  EXPECT_EQ(apply(base, {"--fps", "120", "--height", "800"}).fps, 120);
  EXPECT_EQ(apply(base, {"--port", "65535"}).port, 65535);
  EXPECT_EQ(apply(base, {"--port", "0"}).port, base.port);
  EXPECT_EQ(apply(base, {"--port", "65536"}).port, base.port);
}

TEST(HostSettingsArguments, SwitchesAndTheConnectNotice) {
  HostSettings off = HostSettings::cliDefaults();
  off.usbEnabled = false;
  EXPECT_FALSE(apply(off, {"--usb", "--no-usb"}).usbEnabled);
  EXPECT_TRUE(apply(off, {"--no-usb", "--usb"}).usbEnabled);
  EXPECT_TRUE(apply(off, {"--usb"}).usbEnabled);
  EXPECT_FALSE(apply(off, {"--usb=1"}).usbEnabled);
  const HostSettings all = apply(off, {"--capture-main", "--pen-hirate", "--secure", "--pair", "--no-autostart",
                                       "--update-check", "--connect-notice", "always"});
  EXPECT_TRUE(all.captureMain);
  EXPECT_TRUE(all.penHighRate);
  EXPECT_TRUE(all.secureWifi);
  EXPECT_TRUE(all.pairingEnabled);
  EXPECT_FALSE(all.autoStart);
  EXPECT_TRUE(all.checkForUpdates);
  EXPECT_EQ(all.connectNotice, ConnectNotice::always);
  EXPECT_EQ(apply(off, {"--connect-notice", "Off"}).connectNotice, off.connectNotice);
  EXPECT_EQ(apply(off, {"--connect-notice", "off"}).connectNotice, ConnectNotice::off);
  EXPECT_EQ(apply(off, {"--connect-notice"}).connectNotice, off.connectNotice);
  EXPECT_TRUE(ConnectNotices::shouldAnnounce(ConnectNotice::wifiOnly, true));
  EXPECT_FALSE(ConnectNotices::shouldAnnounce(ConnectNotice::wifiOnly, false));
  EXPECT_FALSE(ConnectNotices::shouldAnnounce(ConnectNotice::off, true));
}

TEST(UserDefaultsSettingsStore, LoadsDefaultsFallsBackAndRoundTrips) {
  TempDir dir;
  auto defaults = std::make_shared<UserDefaults>(dir / "defaults.json", "lumenrail");
  UserDefaultsSettingsStore store(defaults);
  EXPECT_EQ(store.load(), HostSettings::shipDefaults());

  HostSettings s = HostSettings::cliDefaults();
  s.port = 4000;
  s.launchAtLogin = true;
  s.connectNotice = ConnectNotice::off;
  store.save(s);
  EXPECT_EQ(UserDefaultsSettingsStore(std::make_shared<UserDefaults>(dir / "defaults.json", "lumenrail")).load(), s);

  struct stat st {};
  ASSERT_EQ(::stat((dir / "defaults.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  defaults->set({{"host.port", 0}, {"host.width", 0}, {"host.connectNotice", "sometimes"}});
  HostSettings loaded = store.load();
  EXPECT_EQ(loaded.port, 27184);
  EXPECT_EQ(loaded.width, 0);
  EXPECT_EQ(loaded.connectNotice, ConnectNotice::wifiOnly);
  defaults->set({{"host.port", 70000}, {"host.fps", "30fps"}, {"host.usbEnabled", "YES"}, {"host.autoStart", 0}});
  loaded = store.load();
  EXPECT_EQ(loaded.port, 27184);
  EXPECT_EQ(loaded.fps, 30);
  EXPECT_TRUE(loaded.usbEnabled);
  EXPECT_FALSE(loaded.autoStart);

  store.reset();
  EXPECT_EQ(store.load(), HostSettings::shipDefaults());
}

TEST(UserDefaultsFile, AnUnreadableFileIsSetAsideNotOverwritten) {
  TempDir dir;
  const std::string file = dir / "defaults.json";
  std::ofstream(file) << "{ not json";
  test::EventLog log;
  UserDefaults defaults(file, "lumenrail", [&](const std::string& l) { log.add(l); });
  EXPECT_FALSE(defaults.hasObject("host.width"));
  EXPECT_TRUE(log.contains("[app] WARN: the settings file " + file + " could not be read; kept as " + file +
                           ".corrupt-"));
  bool kept = false;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    kept |= entry.path().filename().string().starts_with("defaults.json.corrupt-");
  }
  EXPECT_TRUE(kept);
  EXPECT_TRUE(defaults.set({{"host.width", 5}}).empty());
  EXPECT_EQ(UserDefaults(file, "lumenrail").integer("host.width"), 5);
  EXPECT_FALSE(UserDefaults(file, "other").hasObject("host.width"));  // domains are separate
}

TEST(ConnectAnnouncerRules, QuietPeriodPerLinkAndTheSixtyFourKeyReset) {
  ConnectAnnouncer a;
  EXPECT_TRUE(a.admit("Pad", true, 100.0));
  EXPECT_FALSE(a.admit("Pad", true, 129.9));
  EXPECT_TRUE(a.admit("Pad", false, 110.0));  // a cable counts apart
  EXPECT_TRUE(a.admit("Pad", true, 130.0));
  EXPECT_FALSE(a.admit("Pad", true, 120.0));  // earlier than stored: still quiet
  EXPECT_FALSE(a.admit("Pad", true, 159.9));  // a refusal did not move the stored time

  ConnectAnnouncer b;
  EXPECT_TRUE(b.admit("recent", true, 995.0));
  for (int i = 0; i < 64; ++i) EXPECT_TRUE(b.admit("d" + std::to_string(i), true, 1000.0));
  EXPECT_TRUE(b.admit("one-more", true, 1000.0));  // 65 stored: the map empties first
  EXPECT_TRUE(b.admit("recent", true, 1000.0));
}

TEST(HostDataRemovalRules, RemovesWhatExistsAndReportsWhatCannotGo) {
  TempDir dir;
  HostDataRemoval::Targets nothing{dir / "pairing", dir / "logs", nullptr, std::nullopt};
  EXPECT_TRUE(HostDataRemoval::remove(nothing).empty());

  fs::create_directories(dir / "pairing/sub");
  std::ofstream(dir / "pairing/sub/identity.key") << "k";
  fs::create_directories(dir / "logs");
  auto defaults = std::make_shared<UserDefaults>(dir / "defaults.json", "lumenrail");
  defaults->set({{"host.width", 1}});
  UserDefaults(dir / "defaults.json", "keep").set({{"x", 1}});
  HostDataRemoval::Targets all{dir / "pairing", dir / "logs", defaults, std::string("lumenrail")};
  EXPECT_TRUE(HostDataRemoval::remove(all).empty());
  EXPECT_FALSE(fs::exists(dir / "pairing"));
  EXPECT_FALSE(fs::exists(dir / "logs"));
  EXPECT_FALSE(UserDefaults(dir / "defaults.json", "lumenrail").hasObject("host.width"));
  EXPECT_TRUE(UserDefaults(dir / "defaults.json", "keep").hasObject("x"));
}

TEST(HostDataRemovalRules, AFolderThatCannotGoIsReported) {
  TempDir dir;
  if (::geteuid() == 0) GTEST_SKIP() << "root can remove anything: the failure path needs an ordinary user";
  fs::create_directories(dir / "locked/inner");
  ::chmod((dir / "locked").c_str(), 0500);
  HostDataRemoval::Targets locked{dir / "locked/inner", "", nullptr, std::nullopt};
  EXPECT_EQ(HostDataRemoval::remove(locked), std::vector<std::string>{dir / "locked/inner"});
  ::chmod((dir / "locked").c_str(), 0700);
}

}  // namespace
}  // namespace lumenrail

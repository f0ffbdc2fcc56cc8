// The settings pages' rules over the model, without a display.
#include <gtest/gtest.h>

#include <map>

#include "app/windows/SettingsPages.hpp"
#include "support/AppPortFakes.hpp"

namespace lumenrail {
namespace {

struct Fixture {
  std::shared_ptr<test::RecordingStore> store = std::make_shared<test::RecordingStore>();
  std::vector<PairedDevice> devices;
  std::vector<std::pair<std::string, std::string>> renames;
  HostSettingsModel model;

  explicit Fixture(HostSettings start = HostSettings::shipDefaults(), HostSettingsModel::Callbacks callbacks = {})
      : model(start, std::nullopt, false, store, withStore(std::move(callbacks))) {}

  HostSettingsModel::Callbacks withStore(HostSettingsModel::Callbacks c) {
    c.refreshPaired = [this] { return devices; };
    c.onForget = [this](const std::string& fp) {
      std::erase_if(devices, [&](const PairedDevice& d) { return d.fingerprint == fp; });
    };
    c.onRename = [this](const std::string& fp, const std::string& alias) { renames.emplace_back(fp, alias); };
    return c;
  }
};

TEST(SettingsPages, ResolutionTagsPickWidthThenHeight) {
  EXPECT_EQ(SettingsPages::resolutionTag(1280, 720), 128000720);
  Fixture f;
  EXPECT_EQ(SettingsPages::currentResolutionTag(f.model), 192001080);
  SettingsPages::chooseResolution(f.model, SettingsPages::resolutionTag(1920, 1080));  // already set
  SettingsPages::chooseResolution(f.model, 123);                                       // no preset
  EXPECT_TRUE(f.store->saves.empty());
  SettingsPages::chooseResolution(f.model, SettingsPages::resolutionTag(3840, 2160));
  ASSERT_EQ(f.store->saves.size(), 2u);
  EXPECT_EQ(std::make_pair(f.store->saves[0].width, f.store->saves[0].height), std::make_pair(int64_t{3840}, int64_t{1080}));
  EXPECT_EQ(std::make_pair(f.store->saves[1].width, f.store->saves[1].height), std::make_pair(int64_t{3840}, int64_t{2160}));
}

TEST(SettingsPages, CaptureMainGoesToTheOwnerWhenItTakesItAndShowsTheLiveMode) {
  std::vector<bool> asked;
  HostSettingsModel::Callbacks c;
  c.onSetCaptureMain = [&](bool v) { asked.push_back(v); };
  Fixture owned(HostSettings::shipDefaults(), c);
  SettingsPages::chooseCaptureMain(owned.model, true);
  EXPECT_EQ(asked, std::vector<bool>{true});
  EXPECT_FALSE(owned.model.settings().captureMain);
  EXPECT_FALSE(SettingsPages::mirroring(owned.model));
  owned.model.setLiveCaptureMain(true);
  EXPECT_TRUE(SettingsPages::mirroring(owned.model));

  Fixture plain;
  SettingsPages::chooseCaptureMain(plain.model, true);
  EXPECT_TRUE(plain.model.settings().captureMain);
}

TEST(SettingsPages, PortIsClampedAndCommittedOnlyWhenEditingEnds) {
  const std::vector<std::pair<std::string, uint16_t>> cases = {
      {"80", 1024},     {"70000", 65535}, {"1024", 1024}, {"65535", 65535}, {" 8080 ", 8080},
      {"-5", 1024},     {"99999999999999999999999", 65535},
      {"", 27184},      {"80a", 27184},   {"27 184", 27184}, {"+", 27184},
  };
  for (const auto& [text, shown] : cases) {
    Fixture f;
    EXPECT_EQ(SettingsPages::commitPort(f.model, text), shown) << text;
    EXPECT_EQ(f.model.settings().port, shown) << text;
    EXPECT_EQ(f.store->saves.size(), shown == 27184 ? 0u : 1u) << text;
  }
}

TEST(SettingsPages, RelaunchIsOfferedWhileTheLanguageDiffersFromLaunch) {
  EXPECT_FALSE(SettingsPages::relaunchOffered("", ""));
  EXPECT_TRUE(SettingsPages::relaunchOffered("de", ""));
  EXPECT_FALSE(SettingsPages::relaunchOffered("de", "de"));
  EXPECT_TRUE(SettingsPages::relaunchOffered("", "de"));  // back to the system's language
}

TEST(SettingsPages, OpenAtLoginRecordsTheChoiceThenShowsTheRegistrationNote) {
  Fixture f;
  test::FakeLoginItem login;
  login.answer = LoginItem::Note::of(LoginItem::Note::Kind::requiresApproval);
  SettingsPages::setLaunchAtLogin(f.model, login, true);
  ASSERT_EQ(f.store->saves.size(), 1u);
  EXPECT_TRUE(f.store->saves[0].launchAtLogin);
  EXPECT_EQ(login.calls, std::vector<bool>{true});
  EXPECT_EQ(f.model.loginItemNote(), login.answer);
  EXPECT_EQ(SettingsPages::openAtLoginDescription(f.model, true), login.answer->text());
}

TEST(SettingsPages, PairedDevicesShowTheAliasAndForgetRemovesTheRow) {
  Fixture f;
  PairedDevice named{"fp-a", {}, "Pixel 8", 0, {}, {}, std::string("Studio tablet")};
  PairedDevice blank{"fp-b", {}, "iPad", 0, {}, {}, std::string("")};
  f.devices = {named, blank};
  SettingsPages::refresh(f.model);
  ASSERT_EQ(f.model.pairedDevices().size(), 2u);
  EXPECT_EQ(f.model.pairedDevices()[0].displayName(), "Studio tablet");
  EXPECT_EQ(f.model.pairedDevices()[1].displayName(), "iPad");

  SettingsPages::rename(f.model, "fp-b", "");
  EXPECT_EQ(f.renames, (std::vector<std::pair<std::string, std::string>>{{"fp-b", ""}}));
  SettingsPages::forget(f.model, "fp-a");
  ASSERT_EQ(f.model.pairedDevices().size(), 1u);
  EXPECT_EQ(f.model.pairedDevices()[0].fingerprint, "fp-b");
}

TEST(SettingsPages, ResetSavesOnlyAChangeAndTakesTheLoginItemAlong) {
  {
    Fixture f;
    test::FakeLoginItem login;
    SettingsPages::resetToDefaults(f.model, &login);
    EXPECT_TRUE(f.store->saves.empty());
    EXPECT_TRUE(login.calls.empty());
  }
  HostSettings changed = HostSettings::shipDefaults();
  changed.launchAtLogin = true;
  changed.checkForUpdates = false;
  Fixture f(changed);
  test::FakeLoginItem login;
  login.enabled = true;
  SettingsPages::resetToDefaults(f.model, &login);
  ASSERT_EQ(f.store->saves.size(), 1u);
  EXPECT_EQ(f.store->saves[0], HostSettings::shipDefaults());
  // The switch reads off: the autostart entry must be gone too.
  EXPECT_EQ(login.calls, std::vector<bool>{false});
  EXPECT_FALSE(login.enabled);
}

TEST(SettingsPages, BannerListIsJoinedByTheLocalesListRules) {
  EXPECT_EQ(SettingsPages::joinList({"port", "pairing"}, "en"), "port and pairing");
  EXPECT_EQ(SettingsPages::joinList({"a", "b", "c"}, "de"), "a, b und c");
}

TEST(SettingsPages, DisplaySettingsFollowTheDesktopWhereOneIsKnown) {
  const std::map<std::string, bool> installed = {{"gnome-control-center", true}, {"systemsettings", true}};
  const auto has = [&](const std::string& p) { return installed.count(p) > 0; };
  EXPECT_EQ(SettingsPages::displaySettingsCommand("ubuntu:GNOME", has),
            (std::vector<std::string>{"gnome-control-center", "display"}));
  EXPECT_EQ(SettingsPages::displaySettingsCommand("KDE", has), (std::vector<std::string>{"systemsettings", "kcm_kscreen"}));
  EXPECT_FALSE(SettingsPages::displaySettingsCommand("XFCE", has));  // its tool is not installed
  EXPECT_FALSE(SettingsPages::displaySettingsCommand("", has));
}

}  // namespace
}  // namespace lumenrail

// Every real edit is saved, then reported; restart fields are pending only
// while serving, in case order whatever the order of the edits.
#include <gtest/gtest.h>

#include "app/windows/HostSettingsModel.hpp"
#include "support/AppPortFakes.hpp"

namespace lumenrail {
namespace {

using RF = HostSettingsModel::RestartField;

TEST(HostSettingsModel, SavesThenReportsEachDifferingChange) {
  auto store = std::make_shared<test::RecordingStore>();
  std::vector<std::pair<HostSettings, HostSettings>> edits;
  HostSettingsModel::Callbacks callbacks;
  callbacks.onEdit = [&](const HostSettings& now, const HostSettings& before) {
    EXPECT_EQ(store->saves.back(), now);  // already stored when the owner hears of it
    edits.emplace_back(now, before);
  };
  const HostSettings start = HostSettings::shipDefaults();
  HostSettingsModel model(start, std::nullopt, false, store, callbacks);
  EXPECT_EQ(store->saves.size(), 0u);

  model.setSettings(start);
  model.set(&HostSettings::fps, int64_t{60});  // the value already held
  EXPECT_EQ(store->saves.size(), 0u);
  EXPECT_TRUE(edits.empty());

  model.set(&HostSettings::width, int64_t{1280});
  model.set(&HostSettings::height, int64_t{720});
  ASSERT_EQ(edits.size(), 2u);
  EXPECT_EQ(edits[0].second, start);
  EXPECT_EQ(edits[0].first.width, 1280);
  EXPECT_EQ(edits[1].second, edits[0].first);
  EXPECT_EQ(edits[1].first.height, 720);
  EXPECT_EQ(store->saves.size(), 2u);
}

TEST(HostSettingsModel, PendingRestartFields) {
  const HostSettings running = HostSettings::shipDefaults();
  struct Case {
    const char* what;
    std::function<void(HostSettingsModel&)> edit;
    bool serving;
    std::vector<RF> pending;
  };
  const std::vector<Case> cases = {
      {"width", [](auto& m) { m.set(&HostSettings::width, int64_t{800}); }, true, {RF::resolution}},
      {"width and back",
       [](auto& m) {
         m.set(&HostSettings::width, int64_t{800});
         m.set(&HostSettings::width, int64_t{1920});
       },
       true,
       {}},
      {"port then usb",
       [](auto& m) {
         m.set(&HostSettings::port, uint16_t{9000});
         m.set(&HostSettings::usbEnabled, false);
       },
       true,
       {RF::port, RF::cableTransports}},
      {"usb then port",
       [](auto& m) {
         m.set(&HostSettings::usbEnabled, false);
         m.set(&HostSettings::port, uint16_t{9000});
       },
       true,
       {RF::port, RF::cableTransports}},
      {"every field, not serving",
       [](auto& m) {
         HostSettings s = HostSettings::cliDefaults();
         s.fps = 30;
         s.port = 1;
         m.setSettings(s);
       },
       false,
       {}},
      {"live and unrelated fields",
       [](auto& m) {
         m.set(&HostSettings::captureMain, true);
         m.set(&HostSettings::penHighRate, true);
         m.set(&HostSettings::autoStart, false);
         m.set(&HostSettings::launchAtLogin, true);
         m.set(&HostSettings::checkForUpdates, false);
         m.set(&HostSettings::connectNotice, ConnectNotice::off);
       },
       true,
       {}},
      {"key-only links make or drop the key", [](auto& m) { m.set(&HostSettings::keyOnlyLinks, true); }, true,
       {RF::wifiEncryption}},
      {"all six",
       [](auto& m) {
         m.set(&HostSettings::pairingEnabled, false);
         m.set(&HostSettings::secureWifi, false);
         m.set(&HostSettings::fps, int64_t{30});
         m.set(&HostSettings::height, int64_t{720});
         m.set(&HostSettings::usbEnabled, false);
         m.set(&HostSettings::port, uint16_t{1});
       },
       true,
       {RF::resolution, RF::frameRate, RF::port, RF::cableTransports, RF::wifiEncryption, RF::pairing}},
  };
  for (const auto& c : cases) {
    HostSettingsModel model(running, running, c.serving, std::make_shared<test::RecordingStore>(), {});
    c.edit(model);
    EXPECT_EQ(model.pendingRestartFields(), c.pending) << c.what;
  }
  HostSettingsModel noRunning(running, std::nullopt, true, std::make_shared<test::RecordingStore>(), {});
  noRunning.set(&HostSettings::port, uint16_t{1});
  EXPECT_TRUE(noRunning.pendingRestartFields().empty());
}

}  // namespace
}  // namespace lumenrail

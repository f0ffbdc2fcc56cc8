// The panel's snapshot, its actions and the live report sections, read from
// a fake host with a real paired-devices store.
#include <gtest/gtest.h>

#include "app/panel/PanelSnapshot.hpp"
#include "FakePanelSource.hpp"
#include "support/RecordingCommands.hpp"
#include "support/TempFolder.hpp"

namespace lumenrail {
namespace {

using test::FakeSource;

struct Host {
  test::TempFolder folder;
  FakeSource source;
  std::string tab, phone, old;

  Host() {
    source.store = std::make_shared<PairedDevicesStore>(folder.path("paired.json"), [](const std::string&) {});
    tab = test::pair(*source.store, 1, "Galaxy Tab", 100, "Studio");
    phone = test::pair(*source.store, 2, "Pixel", 200);
    old = test::pair(*source.store, 3, "Old Label", 50, "   ");  // a blank alias is no alias
  }
};

TEST(PanelSnapshot, ListsClientsByDescriptorWithTheirBestName) {
  Host host;
  auto& session = host.source.serve();
  session.main = host.phone;
  session.clients = {
      {12, "", host.old, false},             // neither alias nor reported name: the stored label
      {7, "Pixel 8", host.phone, true},      // reported name beats the label
      {9, "Reported", host.tab, false},      // alias beats the reported name
      {3, "Visitor", std::nullopt, true},    // unpaired: never the main device
      {15, "", std::nullopt, false},
  };
  host.source.awdl = true;
  const PanelState s = PanelSnapshot::snapshot(host.source);
  EXPECT_EQ(s.phase, PanelState::Phase::serving);
  EXPECT_EQ(s.modeLabel, "1920x1080@60");
  const std::vector<PanelDevice> expected = {
      {3, "Visitor", std::nullopt, true, false},
      {7, "Pixel 8", host.phone, true, true},
      {9, "Studio", host.tab, false, false},
      {12, "Old Label", host.old, false, false},
      {15, "", std::nullopt, false, false},
  };
  EXPECT_EQ(s.devices, expected);
  EXPECT_TRUE(s.awdlWarning);

  session.main.reset();  // no main device set: an unpaired client does not become one
  session.clients = {{3, "Visitor", std::nullopt, true}};
  EXPECT_FALSE(PanelSnapshot::snapshot(host.source).devices[0].isMain);
}

// Rows keep the order their devices joined in, whatever their socket numbers
// (Linux hands out the lowest free one at once): a newcomer goes at the end,
// and a socket number back under another device is a newcomer.
TEST(PanelSnapshot, RowsKeepTheOrderTheirDevicesJoinedIn) {
  Host host;
  auto& session = host.source.serve();
  ClientOrder order;
  const SessionClient a{23, "A", host.tab, true}, b{21, "B", std::nullopt, true}, c{19, "C", host.phone, false};
  const SessionClient d{23, "D", host.old, true};
  const struct {
    const char* what;
    std::vector<SessionClient> clients;
    std::vector<std::string> shown;
  } steps[] = {
      {"two seen at once: by socket", {a, b}, {"B", "Studio"}},
      {"a lower socket joins", {c, a, b}, {"B", "Studio", "C"}},
      {"the first leaves", {c, a}, {"Studio", "C"}},
      {"another device on a known socket", {d, c}, {"C", "D"}},
  };
  for (const auto& step : steps) {
    session.clients = step.clients;
    std::vector<std::string> names;
    for (const auto& device : PanelSnapshot::snapshot(host.source, &order).devices) names.push_back(device.name);
    EXPECT_EQ(names, step.shown) << step.what;
  }
}

TEST(PanelSnapshot, AwdlWarningNeedsANetworkClientAndTheInterface) {
  FakeSource source;
  auto& session = source.serve();
  session.clients = {{4, "Cable", std::nullopt, false}};
  source.awdl = true;
  EXPECT_FALSE(PanelSnapshot::snapshot(source).awdlWarning);
  EXPECT_EQ(source.awdlProbes, 0);  // cables only: the interface is not even asked
  session.clients.push_back({5, "Air", std::nullopt, true});
  EXPECT_TRUE(PanelSnapshot::snapshot(source).awdlWarning);
  source.awdl = false;
  EXPECT_FALSE(PanelSnapshot::snapshot(source).awdlWarning);
}

TEST(PanelSnapshot, WithoutASessionOnlySettingsShow) {
  FakeSource source;
  source.current.captureMain = true;
  source.current.port = 4100;
  source.current.usbEnabled = false;
  source.current.penHighRate = true;
  source.blocked = true;  // not shown without a session
  source.update = UpdateRelease{"1.2.0", "https://quillmark.example/u"};
  source.clientUpdate = "";
  source.isTransitioning = true;
  PanelState expected;
  expected.phase = PanelState::Phase::starting;
  expected.extend = false;
  expected.port = 4100;
  expected.usbEnabled = false;
  expected.penHighRate = true;
  expected.update = source.update;
  expected.clientAppUpdate = "";
  EXPECT_EQ(PanelSnapshot::snapshot(source), expected);

  // Serving: the session's live choice wins over the settings.
  auto& session = source.serve();
  session.mirror = false;
  session.penApplied = true;
  source.isTransitioning = true;
  const PanelState stopping = PanelSnapshot::snapshot(source);
  EXPECT_EQ(stopping.phase, PanelState::Phase::stopping);
  EXPECT_TRUE(stopping.extend);
  EXPECT_TRUE(stopping.penHighRateActive);
  EXPECT_TRUE(stopping.inputBlocked);

  const PanelState fallback = PanelSnapshot::fallback();
  EXPECT_EQ(fallback.phase, PanelState::Phase::stopped);
  EXPECT_EQ(fallback.port, 27184);
  EXPECT_TRUE(fallback.extend && fallback.usbEnabled);
  EXPECT_TRUE(fallback.devices.empty());
}

std::string rowsOf(const SupportReport::Section& section) {
  std::string text = section.name + "\n";
  for (const auto& row : section.rows) text += row.key + ": " + row.value + "\n";
  return text;
}

TEST(PanelSnapshot, SupportSectionsWhileStopped) {
  FakeSource source;
  source.current.penHighRate = true;
  const auto sections = PanelSnapshot::supportSections(source);
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(rowsOf(sections[0]),
            "host state\n"
            "phase: stopped\n"
            "mode: (not serving)\n"
            "extend (not mirror): yes\n"
            "pen high rate: on, idle\n"
            "wifi port: 27184\n"
            "usb (android cable): on\n"
            "awdl warning: no\n"
            "input blocked: no\n"
            "connected devices: 0\n"
            "paired devices: 0\n"
            "update available: no\n"
            "restart pending: no\n"
            "client floor: 0\n");
  EXPECT_EQ(sections[1].name, "settings");
  EXPECT_EQ(sections[1].rows.front(), (SupportReport::Row{"width", std::to_string(source.current.width)}));
  EXPECT_EQ(sections[1].rows.back(), (SupportReport::Row{"connectNotice", "wifiOnly"}));
}

TEST(PanelSnapshot, SupportSectionsWhileServingTwoDevices) {
  Host host;
  auto& session = host.source.serve();
  host.source.current.port = 4100;  // edited after the start: a restart is pending
  host.source.update = UpdateRelease{"1.2.0", "https://quillmark.example/u"};
  host.source.floor = 2;
  host.source.blocked = true;
  session.main = host.tab;
  session.penApplied = true;
  host.source.current.penHighRate = true;
  session.clients = {{11, "Pixel 8", host.phone, true}, {8, "Reported", host.tab, false}};
  PeerVersion version;
  version.wireLevel = 2;
  version.platform = PeerPlatform::android;
  version.version = "1.4.0";
  session.versions[8] = version;
  EXPECT_EQ(rowsOf(PanelSnapshot::supportSections(host.source)[0]),
            "host state\n"
            "phase: serving\n"
            "mode: 1920x1080@60\n"
            "extend (not mirror): yes\n"
            "pen high rate: on, active\n"
            "wifi port: 4100\n"
            "usb (android cable): on\n"
            "awdl warning: no\n"
            "input blocked: yes (no input access, client connected)\n"
            "connected devices: 2\n"
            "paired devices: 3\n"
            "update available: 1.2.0\n"
            "restart pending: yes\n"
            "client floor: 2\n"
            "device 1: Studio | cable | paired | main | " +
                session.versions[8].summary() +
                "\n"
                "device 2: Pixel 8 | wifi | paired | no version (level 0)\n");
}

TEST(PanelSnapshot, ActionsCloseThePanelFirstAndHoldTheControllerWeakly) {
  auto commands = std::make_shared<test::RecordingCommands>();
  std::vector<std::function<void()>> nextTurn;
  const PanelActions a = PanelSnapshot::actions(commands, [&](std::function<void()> op) {
    commands->calls.push_back("close");
    nextTurn.push_back(std::move(op));
  });
  a.toggleServing();
  a.setExtend(true);
  a.setExtend(false);
  a.setPenHighRate(true);
  a.setMain("aa");
  a.disconnect("bb");
  a.forget("cc");
  a.dismissClientAppUpdate();
  a.quit();
  EXPECT_EQ(commands->calls, (std::vector<std::string>{"toggle", "extend", "mirror", "pen on", "main aa",
                                                        "disconnect bb", "forget cc", "dismiss", "quit"}));
  commands->calls.clear();
  for (const auto& closing : {a.showQr, a.showSettings, a.showAbout, a.showSetup, a.openAirDropSettings,
                              a.openAccessibilitySettings, a.openUpdate}) {
    closing();
  }
  EXPECT_EQ(commands->calls, std::vector<std::string>(7, "close"));  // nothing runs before the next turn
  for (const auto& op : nextTurn) op();
  EXPECT_EQ(commands->calls.size(), 14u);
  EXPECT_EQ(std::vector<std::string>(commands->calls.begin() + 7, commands->calls.end()),
            (std::vector<std::string>{"qr", "settings", "about", "setup", "airdrop", "accessibility", "update"}));

  // A queued operation whose controller went meanwhile does nothing.
  nextTurn.clear();
  a.showQr();
  std::weak_ptr<test::RecordingCommands> gone = commands;
  commands.reset();
  for (const auto& op : nextTurn) op();
  a.toggleServing();
  a.showAbout();
  EXPECT_TRUE(gone.expired());
  EXPECT_EQ(nextTurn.size(), 1u);
}

}  // namespace
}  // namespace lumenrail

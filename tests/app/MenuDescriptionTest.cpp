// The classic menu's description for the host's states, and what its items run.
#include <gtest/gtest.h>

#include "app/panel/MenuDescription.hpp"
#include "FakePanelSource.hpp"
#include "support/RecordingCommands.hpp"
#include "support/TempFolder.hpp"
#include "text/DeviceKindText.hpp"
#include "text/StringBundle.hpp"

namespace lumenrail {
namespace {

using test::FakeSource;

const Localizer& english() {
  static const Localizer texts(StringBundle::open(LUMENRAIL_L10N_BUNDLE), {"en"});
  return texts;
}

// One line per item: "-" for a separator, "~" marks a disabled item,
// "[x]"/"[ ]" a check state, "> " a submenu entry, "@command" its command.
std::string outline(const std::vector<MenuItem>& items, const std::string& indent = "") {
  std::string text;
  for (const auto& item : items) {
    if (item.kind == MenuItem::Kind::separator) {
      text += indent + "-\n";
      continue;
    }
    text += indent + (item.enabled ? "" : "~") + (item.checked ? (*item.checked ? "[x] " : "[ ] ") : "") +
            (item.submenu.empty() ? "" : "> ") + item.title + "\n";
    text += outline(item.submenu, indent + "    ");
  }
  return text;
}

std::string menu(const FakeSource& source) {
  return outline(MenuBuilder::build(source, [](double t) { return "T" + std::to_string(int(t)); }, english()).items);
}

const std::string kTail =
    "-\n"
    "~Display Mode\n"
    "[x] Extend the Desktop\n"
    "[ ] Mirror the Main Display\n"
    "-\n"
    "~Pen\n";
const std::string kEnd =
    "-\n"
    "About Lumenrail\n"
    "Setup Assistant…\n"
    "Settings…\n"
    "Quit Lumenrail\n";

TEST(MenuDescription, StoppedWithUsb) {
  FakeSource source;
  EXPECT_EQ(menu(source), "~Lumenrail — Stopped\n"
                          "~Idle · Wi-Fi port 27184 + USB\n"
                          "-\n"
                          "Start Serving\n"
                          "Show QR Code…\n" +
                              kTail +
                              "[ ] High-Rate Pen Mode\n"
                              "~Standard pen rate\n" +
                              kEnd);
}

TEST(MenuDescription, StartingDisablesTheServingAndModeItems) {
  FakeSource source;
  source.isTransitioning = true;
  source.current.usbEnabled = false;
  source.current.penHighRate = true;  // on while stopped: waits for a client
  EXPECT_EQ(menu(source), "~Lumenrail — Starting…\n"
                          "~Idle · Wi-Fi port 27184\n"
                          "-\n"
                          "~Start Serving\n"
                          "Show QR Code…\n"
                          "-\n"
                          "~Display Mode\n"
                          "~[x] Extend the Desktop\n"
                          "~[ ] Mirror the Main Display\n"
                          "-\n"
                          "~Pen\n"
                          "~[x] High-Rate Pen Mode\n"
                          "~High-rate pen waits for a client\n" +
                              kEnd);
}

TEST(MenuDescription, ServingTwoClientsWithInputBlockedAndAwdl) {
  test::TempFolder folder;
  FakeSource source;
  source.store = std::make_shared<PairedDevicesStore>(folder.path("paired.json"), [](const std::string&) {});
  const std::string older = test::pair(*source.store, 1, "Galaxy Tab", 1000, "Studio",
                                       PairingProtocol::DeviceKind::android);
  const std::string newer = test::pair(*source.store, 2, "Pixel", 2000);
  auto& session = source.serve();
  session.clients = {{9, "Pixel", newer, true}, {4, "", std::nullopt, false}, {5, "Galaxy Tab", std::nullopt, false}};
  session.main = newer;
  session.penApplied = true;
  source.current.penHighRate = true;
  source.blocked = true;
  source.awdl = true;
  source.update = UpdateRelease{"1.2.0", "https://quillmark.example/u"};
  source.clientUpdate = "Pixel";
  const MenuDescription menu = MenuBuilder::build(source, [](double t) { return "T" + std::to_string(int(t)); }, english());
  EXPECT_EQ(outline(menu.items),
            "~Lumenrail — Serving\n"
            "Update Available: 1.2.0\n"
            "Update the Lumenrail App\n"
            "~1920x1080@60 extended · port 27184\n"
            "~Clients connected: 3\n"
            "~  \u2022 Galaxy Tab\n"
            "~  \u2022 Pixel\n"
            "-\n"
            "Allow Pen and Touch Input…\n"
            "-\n"
            "Peer-to-Peer Wi-Fi Is On\n"
            "~Turn it off for a smoother stream\n"
            "-\n"
            "Stop Serving\n"
            "Show QR Code…\n"
            "-\n"
            "~Paired Devices\n"
            "> Pixel\n"  // most recently seen first; connected now, so no "last seen"
            "    ~" + newer + "\n"
            "    ~Connected\n"
            "    -\n"
            "    [x] Use as Main Display\n"
            "    Disconnect\n"
            "    -\n"
            "    Rename…\n"
            "    Forget Device\n"
            "> Studio\n"
            "    ~" + *DeviceKindText::label(PairingProtocol::DeviceKind::android) + "\n"
            "    ~Last seen T1000\n"
            "    ~" + older + "\n"
            "    ~Not connected\n"
            "    -\n"
            "    ~[ ] Use as Main Display\n"
            "    ~Disconnect\n"
            "    -\n"
            "    Rename…\n"
            "    Forget Device\n" +
                kTail +
                "[x] High-Rate Pen Mode\n"
                "~High-rate pen active (240 Hz)\n" +
                kEnd);
  const MenuItem& notice = menu.items[2];
  EXPECT_EQ(notice.command, MenuCommand::dismissClientAppUpdate);
  EXPECT_EQ(notice.symbol, "exclamationmark.triangle");
  EXPECT_EQ(notice.toolTip.rfind("Pixel runs", 0), 0u);
  EXPECT_EQ(menu.items[10].toolTip, "Peer-to-peer Wi-Fi can make the stream stutter.");
  EXPECT_EQ(menu.items[17].submenu[7].command, MenuCommand::forgetDevice);
  EXPECT_EQ(menu.items[17].submenu[7].fingerprint, newer);
  EXPECT_EQ(menu.items.back().shortcut, "Ctrl+Q");
  // Without a formatter of its own: ICU's, against the wall clock.
  const std::string seen = MenuBuilder::pairedSubmenu(source.store->all()[0], nullptr, {}, english())[1].title;
  EXPECT_EQ(seen.rfind("Last seen ", 0), 0u);
  EXPECT_EQ(seen.substr(seen.size() - 10), " years ago");
}

TEST(MenuDescription, MirroringAndPairingStates) {
  test::TempFolder folder;
  FakeSource source;
  source.current.penHighRate = true;
  auto& session = source.serve();
  session.mirror = true;  // the session's live choice, not the settings
  session.clients = {{4, "Tab", std::nullopt, true}};
  source.awdl = true;
  std::string text = menu(source);
  EXPECT_NE(text.find("~1920x1080@60 mirrored · port 27184\n"), std::string::npos);
  EXPECT_NE(text.find("[ ] Extend the Desktop\n[x] Mirror the Main Display\n"), std::string::npos);
  EXPECT_NE(text.find("~[x] High-Rate Pen Mode\n~High-rate pen works in extend mode only\n"), std::string::npos);
  EXPECT_NE(text.find("Peer-to-Peer"), std::string::npos);
  // Pairing on but never loaded: no paired-devices block.
  source.current.pairingEnabled = true;
  EXPECT_EQ(menu(source).find("Paired Devices"), std::string::npos);
  source.store = std::make_shared<PairedDevicesStore>(folder.path("paired.json"), [](const std::string&) {});
  EXPECT_NE(menu(source).find("~Paired Devices\n~No paired devices\n"), std::string::npos);
  source.current.pairingEnabled = false;  // loaded, but pairing switched off since
  EXPECT_EQ(menu(source).find("Paired Devices"), std::string::npos);
}

TEST(MenuDescription, ItemsRunTheirCommands) {
  test::RecordingCommands recorder;
  FakeSource source;
  for (const auto& item : MenuBuilder::build(source, {}, english()).items) MenuBuilder::run(item, recorder);
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{"toggle", "qr", "extend", "mirror", "pen toggle", "about", "setup",
                                                       "settings", "quit"}));
  recorder.calls.clear();
  MenuItem device;
  device.command = MenuCommand::forgetDevice;
  MenuBuilder::run(device, recorder);  // no fingerprint: nothing
  device.fingerprint = "ab";
  MenuBuilder::run(device, recorder);
  EXPECT_EQ(recorder.calls, std::vector<std::string>{"forget ab"});
}

}  // namespace
}  // namespace lumenrail

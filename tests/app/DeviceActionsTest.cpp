// Renaming and forgetting a device against a real store; where the panel
// opens; relative last-seen texts.
#include <gtest/gtest.h>

#include <fstream>

#include "app/controller/DeviceActions.hpp"
#include "app/controller/PopupPlacement.hpp"
#include "app/locale/RelativeTime.hpp"
#include "FakePanelSource.hpp"
#include "support/TempFolder.hpp"

namespace lumenrail {
namespace {

struct ScriptedPrompt final : RenamePrompt {
  std::optional<std::string> answer;
  std::vector<Request> asked;
  std::optional<std::string> ask(const Request& request) override {
    asked.push_back(request);
    return answer;
  }
};

struct Rig {
  test::TempFolder folder;
  test::FakeSource source;
  ScriptedPrompt prompt;
  std::vector<std::string> calls;
  std::string tab;
  std::unique_ptr<DeviceActions> actions;

  Rig() {
    source.store = std::make_shared<PairedDevicesStore>((folder.root() / "pairing" / "paired.json"), [](const std::string&) {});
    tab = test::pair(*source.store, 1, "Galaxy Tab", 100, "Studio");
    source.serve().calls = &calls;
    actions = std::make_unique<DeviceActions>(
        source, prompt,
        DeviceActions::Hooks{[this] { calls.push_back("paired changed"); }, [this] { calls.push_back("panel"); }},
        [this](const std::string& line) { calls.push_back(line); });
  }
  std::optional<std::string> alias() const {
    for (const auto& d : source.store->all()) {
      if (d.fingerprint == tab) return d.alias;
    }
    return "(gone)";
  }
};

TEST(DeviceActions, RenameWithAnEmptyFieldClearsTheAlias) {
  Rig rig;
  rig.prompt.answer = "  ";
  rig.actions->rename(rig.tab);
  ASSERT_EQ(rig.prompt.asked.size(), 1u);
  const auto& asked = rig.prompt.asked[0];
  EXPECT_EQ(asked.text, "Studio");
  EXPECT_EQ(asked.placeholder, "Galaxy Tab");
  EXPECT_EQ(rig.alias(), std::nullopt);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"paired changed", "panel"}));

  rig.prompt.answer = " Desk ";
  rig.actions->rename(rig.tab);
  EXPECT_EQ(rig.prompt.asked[1].text, "");  // no alias now
  EXPECT_EQ(rig.alias(), "Desk");

  rig.calls.clear();
  rig.prompt.answer.reset();  // cancelled
  rig.actions->rename(rig.tab);
  EXPECT_EQ(rig.alias(), "Desk");
  EXPECT_TRUE(rig.calls.empty());
  rig.actions->rename("unknown");
  EXPECT_EQ(rig.prompt.asked.size(), 3u);  // an unknown device asks nothing
}

TEST(DeviceActions, ForgetRevokesThenDisconnectsThenRefreshes) {
  Rig rig;
  auto& session = *rig.source.live;
  session.clients = {{5, "Tab", rig.tab, true}};
  // The store no longer holds the device by the time the session is told,
  // so a reconnect cannot slip in as a paired device.
  session.disconnectNote = [&] { return rig.alias() == "(gone)" ? "after revoke" : "before revoke"; };
  rig.actions->forget(rig.tab);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"disconnect " + rig.tab + " after revoke", "paired changed", "panel"}));
  session.disconnectNote = nullptr;

  // Without a session or a store, forget still refreshes the views.
  rig.calls.clear();
  rig.source.live.reset();
  rig.source.store.reset();
  rig.actions->forget(rig.tab);
  rig.actions->setMainDevice(rig.tab);
  rig.actions->disconnect(rig.tab);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"paired changed", "panel"}));
}

TEST(DeviceActions, AStoreThatCannotWriteIsReportedNotThrown) {
  Rig rig;
  // A file where the folder was: no write can succeed, not even as root.
  std::filesystem::remove_all(rig.folder.root() / "pairing");
  std::ofstream(rig.folder.root() / "pairing") << "x";
  rig.actions->forget(rig.tab);
  ASSERT_EQ(rig.calls.size(), 4u);
  EXPECT_EQ(rig.calls[0].rfind("[pair] WARN: forget failed: ", 0), 0u);
  EXPECT_EQ(rig.calls[1], "disconnect " + rig.tab);
  EXPECT_EQ(rig.alias(), "Studio");  // still paired, and the views say so
}

TEST(PopupPlacement, UnderItsAnchorAboveItAtTheBottomAndAlwaysOnScreen) {
  using namespace PopupPlacement;
  const Rect screen{0, 28, 1920, 1052};  // a top bar of 28
  struct Case {
    const char* what;
    Rect anchor;
    Point expected;
  };
  const std::vector<Case> cases = {
      {"centred under the icon", {1000, 4, 20, 20}, {830, 28}},
      {"kept inside the right edge", {1900, 4, 20, 20}, {1560, 28}},
      {"kept inside the left edge", {2, 4, 20, 20}, {0, 28}},
      {"below the icon in a side panel", {1000, 300, 24, 24}, {832, 328}},
      {"above a bottom tray", {1000, 1056, 24, 24}, {832, 552}},
      {"at the pointer", {50, 500, 0, 0}, {0, 504}},
      {"pointer near the bottom", {600, 1070, 0, 0}, {420, 566}},
  };
  for (const auto& c : cases) EXPECT_EQ(origin(c.anchor, 360, 500, screen), c.expected) << c.what;
  // Taller than the area: the top stays visible.
  EXPECT_EQ(origin({1000, 4, 20, 20}, 360, 2000, screen), (Point{830, 28}));

  // A row's menu: its left edge on the button's, right under it.
  const std::vector<Case> menus = {
      {"under the button", {1500, 300, 26, 26}, {1500, 326}},
      {"kept inside the right edge", {1800, 300, 26, 26}, {1720, 326}},
      {"above the button at the bottom", {1500, 1000, 26, 26}, {1500, 880}},
  };
  for (const auto& c : menus) EXPECT_EQ(menuOrigin(c.anchor, 200, 120, screen), c.expected) << c.what;
}

TEST(RelativeTime, PicksTheLargestWholeUnit) {
  const double now = 1'700'000'000;
  EXPECT_EQ(RelativeTime::format(now - 30, now, "en"), "30 seconds ago");
  EXPECT_EQ(RelativeTime::format(now - 2 * 3600 - 5, now, "en"), "2 hours ago");
  EXPECT_EQ(RelativeTime::format(now - 3 * 86400, now, "en"), "3 days ago");
  EXPECT_EQ(RelativeTime::format(now - 400 * 86400.0, now, "en"), "1 year ago");
  EXPECT_EQ(RelativeTime::format(now + 300, now, "en"), "in 5 minutes");
  EXPECT_EQ(RelativeTime::format(now - 120, now, "de"), "vor 2 Minuten");
}

}  // namespace
}  // namespace lumenrail

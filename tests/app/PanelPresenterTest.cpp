// What the panel shows for a state, read through the shipped English tables.
#include <gtest/gtest.h>

#include "app/panel/PanelPresenter.hpp"
#include "text/StringBundle.hpp"

namespace lumenrail {
namespace {

using Phase = PanelState::Phase;

const Localizer& english() {
  static const Localizer texts(StringBundle::open(LUMENRAIL_L10N_BUNDLE), {"en"});
  return texts;
}

PanelState state(Phase phase) {
  PanelState s;
  s.phase = phase;
  s.port = 27184;
  s.usbEnabled = true;
  if (phase == Phase::serving || phase == Phase::stopping) s.modeLabel = "1920x1080@60";
  return s;
}

TEST(PanelPresenter, PrettyModeReadsOnlyWidthByHeightAtRate) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1920x1080@60", "1920 × 1080 at 60 Hz"},
      {"1920x1080@60@", "1920 × 1080 at 60 Hz"},       // empty pieces are dropped
      {"x2732xx2048x@+120", "2732 × 2048 at 120 Hz"},  // so are empty sides; a sign is allowed
      {"1920xabcx1080@30", "1920 × 1080 at 30 Hz"},    // pieces that are not numbers are skipped
      {"1280x720@-1", "1280 × 720 at -1 Hz"},
      {"1920x1080", "1920x1080"},                      // no at sign
      {"a@b@c", "a@b@c"},                              // three parts
      {"@60", "@60"},
      {"1920x1080@sixty", "1920x1080@sixty"},          // rate not a number
      {"1920x1080@6 0", "1920x1080@6 0"},
      {"1920x1080@+", "1920x1080@+"},
      {"1920x1080x720@60", "1920x1080x720@60"},        // three sides
      {"1920@60", "1920@60"},
      {"", ""},
  };
  for (const auto& [label, shown] : cases) EXPECT_EQ(PanelPresenter::prettyMode(label, english()), shown) << label;
}

TEST(PanelPresenter, PhasesDecideStatusButtonsAndEnabledControls) {
  struct Case {
    Phase phase;
    bool extend;
    std::string subtitle;
    std::optional<std::string> twoLines;
    std::string pill, button, symbol;
    bool prominent, buttonEnabled, tilesEnabled, penEnabled, qrEnabled;
    std::string emptyTitle;
  };
  const std::vector<Case> cases = {
      {Phase::stopped, true, "Wi-Fi port 27184 + USB", std::nullopt, "Stopped", "Start Serving", "play.fill",
       true, true, true, true, false, "No device yet"},
      {Phase::starting, true, "Starting…", std::nullopt, "Starting", "Start Serving", "play.fill", false, false, false,
       false, false, "No device yet"},
      {Phase::serving, true, "1920 × 1080 at 60 Hz · extended", "1920 × 1080 at 60 Hz\nextended", "Serving",
       "Stop Serving", "stop.fill", false, true, true, true, true, "Waiting for a device"},
      {Phase::serving, false, "1920 × 1080 at 60 Hz · mirroring", "1920 × 1080 at 60 Hz\nmirroring", "Serving",
       "Stop Serving", "stop.fill", false, true, true, false, true, "Waiting for a device"},
      {Phase::stopping, true, "Stopping…", std::nullopt, "Stopping", "Stop Serving", "stop.fill", false, false, false,
       false, false, "No device yet"},
  };
  for (const auto& c : cases) {
    PanelState s = state(c.phase);
    s.extend = c.extend;
    const auto p = PanelPresenter::present(s, english());
    const std::string label = c.subtitle;
    EXPECT_EQ(p.title, "Lumenrail");
    EXPECT_EQ(p.subtitle, c.subtitle);
    EXPECT_EQ(p.servingTwoLines, c.twoLines) << label;
    EXPECT_EQ(p.pillText, c.pill) << label;
    EXPECT_EQ(p.startStopTitle, c.button) << label;
    EXPECT_EQ(p.startStopSymbol, c.symbol) << label;
    EXPECT_EQ(p.startStopProminent, c.prominent) << label;
    EXPECT_EQ(p.startStopEnabled, c.buttonEnabled) << label;
    EXPECT_EQ(p.tilesEnabled, c.tilesEnabled) << label;
    EXPECT_EQ(p.penEnabled, c.penEnabled) << label;
    EXPECT_EQ(p.footer.at(0).enabled, c.qrEnabled) << label;
    EXPECT_EQ(p.emptyQrEnabled, c.qrEnabled) << label;
    EXPECT_EQ(p.emptyTitle, c.emptyTitle) << label;
    for (size_t i = 1; i < p.footer.size(); ++i) EXPECT_TRUE(p.footer[i].enabled) << label;
  }
  EXPECT_EQ(PanelPresenter::present(state(Phase::stopped), english()).footer.back().help, "Quit Lumenrail");
  PanelState noUsb = state(Phase::stopped);
  noUsb.usbEnabled = false;
  noUsb.port = 4000;
  EXPECT_EQ(PanelPresenter::subtitle(noUsb, english()), "Wi-Fi port 4000");
}

TEST(PanelPresenter, PenLineFollowsModeSettingAndSession) {
  PanelState s = state(Phase::serving);
  const std::vector<std::tuple<bool, bool, bool, std::string>> cases = {
      {false, true, true, "Works in extend mode only"},
      {true, true, true, "Active at 240 Hz"},
      {true, true, false, "Turns on when a device draws"},
      {true, false, false, "Smoother pen strokes, more power"},
  };
  for (const auto& [extend, setting, active, text] : cases) {
    s.extend = extend;
    s.penHighRate = setting;
    s.penHighRateActive = active;
    EXPECT_EQ(PanelPresenter::penDetail(s, english()), text);
  }
}

TEST(PanelPresenter, BannersKeepTheirOrder) {
  PanelState s = state(Phase::serving);
  s.awdlWarning = true;
  s.update = UpdateRelease{"2.0.1", "https://quillmark.example/dl"};
  s.clientAppUpdate = "";
  s.inputBlocked = true;
  const auto p = PanelPresenter::present(s, english());
  ASSERT_EQ(p.banners.size(), 4u);
  EXPECT_EQ(p.banners[0].action, PanelCommand::openAccessibilitySettings);
  EXPECT_EQ(p.banners[1].action, PanelCommand::dismissClientAppUpdate);
  EXPECT_EQ(p.banners[1].title, "Update the Lumenrail App");
  EXPECT_EQ(p.banners[1].detail.rfind("A connected device runs", 0), 0u);  // unnamed form
  EXPECT_EQ(p.banners[2].title, "Version 2.0.1 is available");
  EXPECT_EQ(p.banners[2].tone, PanelTone::accent);
  EXPECT_EQ(p.banners[3].action, PanelCommand::openAirDropSettings);
  s.clientAppUpdate = "Ana's Tab";
  s.inputBlocked = s.awdlWarning = false;
  s.update.reset();
  const auto named = PanelPresenter::present(s, english());
  ASSERT_EQ(named.banners.size(), 1u);
  EXPECT_EQ(named.banners[0].detail.rfind("Ana's Tab runs", 0), 0u);
  EXPECT_TRUE(PanelPresenter::present(state(Phase::stopped), english()).banners.empty());
  // A failed start leads, with its reason and a way to try again.
  PanelState failed = state(Phase::stopped);
  failed.startFailure = "Port 27184 is in use by another program.";
  failed.inputBlocked = true;
  const auto f = PanelPresenter::present(failed, english());
  ASSERT_EQ(f.banners.size(), 2u);
  EXPECT_EQ(f.banners[0], (PanelBanner{"exclamationmark.triangle.fill", "Serving could not start", *failed.startFailure,
                                       "Try Again", PanelCommand::toggleServing, PanelTone::warn}));
  // Serving open to anyone leads every other banner, with the way to pairing.
  PanelState open = state(Phase::serving);
  open.servingOpen = open.inputBlocked = true;
  const auto o = PanelPresenter::present(open, english());
  ASSERT_EQ(o.banners.size(), 2u);
  EXPECT_EQ(o.banners[0].title, "Anyone on the network can control this desktop");
  EXPECT_EQ(o.banners[0].actionTitle, "Settings…");
  EXPECT_EQ(o.banners[0].action, PanelCommand::showSettings);
  EXPECT_EQ(o.banners[0].tone, PanelTone::warn);
}

TEST(PanelPresenter, DeviceRowsNameDetailDividerAndMenu) {
  PanelState s = state(Phase::serving);
  s.devices = {{5, "Tab", "aa", true, true}, {6, "", std::nullopt, true, false}, {9, "Phone", "bb", false, false}};
  auto p = PanelPresenter::present(s, english());
  EXPECT_EQ(p.devicesLabel, "Devices (3)");
  ASSERT_EQ(p.devices.size(), 3u);
  EXPECT_EQ(p.devices[0].detail, "Wi-Fi · Paired · Main display");
  EXPECT_FALSE(p.devices[0].dividerAbove);
  EXPECT_TRUE(p.devices[0].showSetMain);
  EXPECT_FALSE(p.devices[0].setMainEnabled);  // already the main device
  EXPECT_EQ(p.devices[1].name, "Unnamed device");
  EXPECT_EQ(p.devices[1].detail, "Wi-Fi");
  EXPECT_FALSE(p.devices[1].fingerprint);  // no menu
  EXPECT_TRUE(p.devices[1].dividerAbove);
  EXPECT_EQ(p.devices[2].symbol, "cable.connector");
  EXPECT_TRUE(p.devices[2].setMainEnabled);

  s.devices = {{9, "Phone", "bb", false, true}};
  p = PanelPresenter::present(s, english());
  EXPECT_EQ(p.devicesLabel, "Device");
  EXPECT_EQ(p.devices[0].detail, "Cable · Paired");  // "main" only among several
  EXPECT_FALSE(p.devices[0].showSetMain);
  EXPECT_FALSE(p.devices[0].dividerAbove);
}

TEST(PanelPresenter, StatusTakesTwoLinesOnlyWhenOneDoesNotFit) {
  using F = PanelPresenter::StatusForm;
  EXPECT_EQ(PanelPresenter::statusForm(180, 180), F::oneLine);
  EXPECT_EQ(PanelPresenter::statusForm(180.5, 180), F::twoLines);
  const auto serving = PanelPresenter::present(state(Phase::serving), english());
  EXPECT_EQ(PanelPresenter::statusText(serving, F::oneLine), serving.subtitle);
  EXPECT_EQ(PanelPresenter::statusText(serving, F::twoLines), "1920 × 1080 at 60 Hz\nextended");
  const auto stopped = PanelPresenter::present(state(Phase::stopped), english());
  EXPECT_EQ(PanelPresenter::statusText(stopped, F::twoLines), stopped.subtitle);  // wrapped, not split
  // Extend asked for on a server that cannot add a screen: the status says so.
  PanelState refused = state(Phase::serving);
  refused.extend = false;
  refused.extendRefused = true;
  const auto shown = PanelPresenter::present(refused, english());
  EXPECT_EQ(PanelPresenter::statusText(shown, F::twoLines), "1920 × 1080 at 60 Hz\nmirroring, cannot extend");
  EXPECT_EQ(shown.subtitleHelp, "This display server cannot add a screen, so the device mirrors the main display.");
  EXPECT_EQ(serving.subtitleHelp, "");
}

// The heading and the empty state count what is paired when nothing is connected.
TEST(PanelPresenter, DeviceHeadingAndEmptyStateFollowConnectedAndPaired) {
  struct Case {
    Phase phase;
    size_t connected, paired;
    std::string heading, emptyTitle;
  };
  const std::vector<Case> cases = {
      {Phase::stopped, 0, 0, "Device", "No device yet"},
      {Phase::stopped, 0, 1, "Device", "No device connected"},
      {Phase::stopped, 0, 2, "Devices", "No device connected"},
      {Phase::serving, 0, 2, "Devices", "Waiting for a device"},
      {Phase::serving, 1, 2, "Device", "Waiting for a device"},
      {Phase::serving, 2, 2, "Devices (2)", "Waiting for a device"},
  };
  for (const auto& c : cases) {
    PanelState s = state(c.phase);
    s.pairedCount = c.paired;
    for (size_t i = 0; i < c.connected; ++i) s.devices.push_back({static_cast<int32_t>(i + 4), "Tab", std::nullopt, true, false});
    const auto p = PanelPresenter::present(s, english());
    EXPECT_EQ(p.devicesLabel, c.heading) << c.connected << "/" << c.paired;
    EXPECT_EQ(p.emptyTitle, c.emptyTitle) << c.connected << "/" << c.paired;
  }
}

}  // namespace
}  // namespace lumenrail

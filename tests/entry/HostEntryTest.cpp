// The mode table and the option rules of the process entry, as pure functions.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "entry/HostEntry.hpp"

namespace lumenrail {
namespace {

using HostEntry::Mode;

std::vector<std::string> argv(std::initializer_list<std::string> rest) {
  std::vector<std::string> a{"/opt/lumenrail/bin/lumenrailhost"};
  a.insert(a.end(), rest);
  return a;
}

TEST(HostEntryPlan, ModesInTableOrder) {
  struct Row {
    std::vector<std::string> args;
    bool bundled;
    Mode mode;
  };
  const std::vector<Row> rows = {
      {argv({}), false, Mode::m0},
      {argv({"--m0"}), true, Mode::m0},  // a mode switch keeps an installed start out of the application
      {argv({}), true, Mode::app},
      {argv({"--m2"}), true, Mode::m2},
      {argv({"--m2", "--app"}), false, Mode::app},
      {argv({"--menubar"}), false, Mode::menubar},
      {argv({"--menubar", "--app"}), false, Mode::app},
      {argv({"--m2", "--m1"}), false, Mode::m1},
      {argv({"--m1", "--m1-selftest"}), false, Mode::m1SelfTest},
      {argv({"--m1-selftest", "--print-config"}), false, Mode::printConfig},
      {argv({"--print-config", "--pair-uri"}), false, Mode::pairUri},
      {argv({"--pair-uri", "--usb-connect-test"}), false, Mode::usbConnectTest},
      {argv({"--usb-connect-test", "--usb-serve-test"}), false, Mode::usbServeTest},
      {argv({"--usb-serve-test", "--usb-diag"}), false, Mode::usbDiag},
      {argv({"--usb-diag", "--usb-list"}), false, Mode::usbList},
      {argv({"--usb-list", "--render-ui"}), false, Mode::renderUi},
      {argv({"--render-ui", "--support-report"}), false, Mode::supportReport},
      {argv({"--support-report", "--l10n-check"}), false, Mode::l10nCheck},
      {argv({"--l10n-check", "--m2", "--version"}), true, Mode::version},
      {argv({"--M2", "-m2", "--m2=1"}), false, Mode::m0},  // only exact switches count
  };
  for (const auto& row : rows) {
    std::string joined;
    for (const auto& a : row.args) joined += a + " ";
    EXPECT_EQ(HostEntry::modeName(HostEntry::plan(row.args, row.bundled).mode), HostEntry::modeName(row.mode))
        << joined << (row.bundled ? "(installed)" : "");
  }
}

TEST(HostEntryPlan, TheHostLogOnlyForAnInstalledApplicationStartWithoutConsoleDiagnostics) {
  EXPECT_TRUE(HostEntry::plan(argv({}), true).redirectLog);
  EXPECT_TRUE(HostEntry::plan(argv({"--app", "--m2"}), true).redirectLog);
  EXPECT_FALSE(HostEntry::plan(argv({"--app"}), false).redirectLog);
  EXPECT_FALSE(HostEntry::plan(argv({"--m2"}), true).redirectLog);
  EXPECT_FALSE(HostEntry::plan(argv({"--print-config"}), true).redirectLog);
  const auto pairUri = HostEntry::plan(argv({"--pair-uri"}), true);
  EXPECT_TRUE(pairUri.appMode);
  EXPECT_TRUE(pairUri.isConsoleDiagnostic);
  EXPECT_FALSE(pairUri.redirectLog);
}

TEST(HostEntryArg, FirstOccurrenceAndDefaultsForAnythingThatIsNotAnInteger) {
  EXPECT_EQ(HostEntry::plan(argv({"--width", "1920", "--width", "800"}), false).width, 1920);
  EXPECT_EQ(HostEntry::arg(argv({"--width", "words"}), "--width", 1280), 1280);
  EXPECT_EQ(HostEntry::arg(argv({"--width"}), "--width", 1280), 1280);
  EXPECT_EQ(HostEntry::arg(argv({"--width", ""}), "--width", 1280), 1280);
  EXPECT_EQ(HostEntry::arg(argv({"--width", "+640"}), "--width", 1280), 640);
  EXPECT_EQ(HostEntry::arg(argv({"--width", "-5"}), "--width", 1280), -5);
  EXPECT_EQ(HostEntry::arg(argv({"--width", "12a"}), "--width", 1280), 1280);
  EXPECT_EQ(HostEntry::arg(argv({"--width", "-"}), "--width", 1280), 1280);
  EXPECT_EQ(HostEntry::arg(argv({"--port", "9223372036854775807"}), "--port", 1), INT64_MAX);
  EXPECT_EQ(HostEntry::arg(argv({"--port", "-9223372036854775808"}), "--port", 1), INT64_MIN);
  EXPECT_EQ(HostEntry::arg(argv({"--port", "9223372036854775808"}), "--port", 1), 1);
  const auto defaults = HostEntry::plan(argv({}), false);
  EXPECT_EQ(defaults.width, 1280);
  EXPECT_EQ(defaults.height, 720);
  EXPECT_EQ(defaults.frames, 120);
  EXPECT_EQ(defaults.fps, 60);
  EXPECT_EQ(defaults.port, 27184);
}

TEST(HostEntryResolve, LastOccurrenceWinsForOptionsAndSwitchPairs) {
  const auto r = HostEntry::resolve(HostSettings::cliDefaults(),
                                    argv({"--width", "1920", "--width", "800", "--capture-main", "--no-capture-main",
                                          "--no-usb", "--usb", "--pair", "--port", "4000", "--port", "5000"}));
  EXPECT_EQ(r.settings.width, 800);
  EXPECT_FALSE(r.settings.captureMain);
  EXPECT_TRUE(r.settings.usbEnabled);
  EXPECT_TRUE(r.settings.pairingEnabled);
  EXPECT_EQ(r.settings.port, 5000);
  EXPECT_FALSE(r.portError);
}

TEST(HostEntryResolve, SizesAndRatesAreClampedToWhatTheServeCarries) {
  const auto r = HostEntry::resolve(HostSettings::cliDefaults(),
                                    argv({"--width", "99999999999", "--height", "7", "--fps", "5000"}));
  EXPECT_EQ(r.settings.width, HostSettings::maxDimension);
  EXPECT_EQ(r.settings.height, HostSettings::minDimension);
  EXPECT_EQ(r.settings.fps, HostSettings::maxFps);
  EXPECT_FALSE(HostEntry::modeProblem(r.settings.width, r.settings.height, r.settings.fps));
}

TEST(HostEntryModeProblem, TheTestModesTakeOnlyWhatTheEncoderCanStart) {
  EXPECT_FALSE(HostEntry::modeProblem(16, 16, 1));
  EXPECT_FALSE(HostEntry::modeProblem(16384, 16384, 1000));
  EXPECT_EQ(HostEntry::modeProblem(641, 480, 30), "641x480@30 does not fit the encoder");
  for (const auto& [w, h, fps] : std::vector<std::array<int64_t, 3>>{
           {14, 480, 30}, {640, 16386, 30}, {640, 480, 0}, {640, 480, 1001}, {-2, 480, 30}}) {
    EXPECT_TRUE(HostEntry::modeProblem(w, h, fps)) << w << "x" << h << "@" << fps;
  }
  EXPECT_EQ(HostEntry::modeProblem(640, 480, 4, 8), "--fps 4 is below 8");
}

TEST(HostEntryResolve, PortZeroLetsTheSystemChooseAndOutOfRangeIsAnError) {
  EXPECT_EQ(HostEntry::resolve(HostSettings::cliDefaults(), argv({"--port", "0"})).settings.port, 0);
  for (const char* bad : {"65536", "-1", "9223372036854775807"}) {
    const auto r = HostEntry::resolve(HostSettings::cliDefaults(), argv({"--port", "1", "--port", bad}));
    ASSERT_TRUE(r.portError) << bad;
    EXPECT_EQ(*r.portError, std::string("--port ") + bad + " is outside 0...65535");
  }
  // Not a number, or no value at all: refused too, rather than serving on the default port.
  for (const auto& args : {argv({"--port", "http"}), argv({"--port", "80", "--port"})}) {
    const auto r = HostEntry::resolve(HostSettings::cliDefaults(), args);
    ASSERT_TRUE(r.portError);
    EXPECT_EQ(*r.portError, "--port needs a number in 0...65535");
  }
  EXPECT_FALSE(HostEntry::resolve(HostSettings::cliDefaults(), argv({"--m2"})).portError);
  // An earlier bad value is overridden by a later good one.
  EXPECT_FALSE(HostEntry::resolve(HostSettings::cliDefaults(), argv({"--port", "70000", "--port", "80"})).portError);
  EXPECT_FALSE(HostEntry::portProblem(65535));
  EXPECT_TRUE(HostEntry::portProblem(65536));
}

}  // namespace
}  // namespace lumenrail

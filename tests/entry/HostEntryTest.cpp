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
      {argv({"--version", "-h"}), true, Mode::help},
      {argv({"--m2", "--help"}), false, Mode::help},
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
  const auto s = HostEntry::resolve(HostSettings::cliDefaults(),
                                    argv({"--width", "1920", "--width", "800", "--capture-main", "--no-capture-main",
                                          "--no-usb", "--usb", "--pair", "--port", "4000", "--port", "5000"}));
  EXPECT_EQ(s.width, 800);
  EXPECT_FALSE(s.captureMain);
  EXPECT_TRUE(s.usbEnabled);
  EXPECT_TRUE(s.pairingEnabled);
  EXPECT_EQ(s.port, 5000);
  // Port 0 leaves the choice to the system, which the settings alone would not.
  EXPECT_EQ(HostEntry::resolve(HostSettings::cliDefaults(), argv({"--port", "80", "--port", "0"})).port, 0);
  EXPECT_EQ(HostEntry::resolve(HostSettings::cliDefaults(), argv({"--port", "0", "--port", "80"})).port, 80);
}

TEST(HostEntrySplitValues, AValueAfterAnEqualsSignIsTheNextWordOfItsOptionOnly) {
  EXPECT_EQ(HostEntry::splitValues(argv({"--port=27184", "--render-ui=a=b", "--connect-notice=", "--pair=yes", "--m2",
                                         "--fps", "30"})),
            argv({"--port", "27184", "--render-ui", "a=b", "--connect-notice", "", "--pair=yes", "--m2", "--fps", "30"}));
  EXPECT_EQ(HostEntry::splitValues({"./--width=8"}), std::vector<std::string>{"./--width=8"});  // the program's path
  const auto args = HostEntry::splitValues(argv({"--width=800", "--port=4000", "--port=0"}));
  EXPECT_EQ(HostEntry::plan(args, false).width, 800);
  EXPECT_EQ(HostEntry::plan(args, false).port, 4000);
  EXPECT_EQ(HostEntry::resolve(HostSettings::cliDefaults(), args).port, 0);
}

TEST(HostEntryRefusal, EveryWordSomeModeKnowsAndEveryValueAtItsBoundsPasses) {
  EXPECT_FALSE(HostEntry::refusal(argv({"--m2", "--width", "64", "--height", "4096", "--fps", "24", "--port", "0",
                                        "--no-capture-main", "--pen-hirate", "--usb", "--no-secure", "--pair",
                                        "--key-only-links", "--no-autostart", "--update-check", "--audio",
                                        "--audio-sck", "--audio-aac", "--connect-notice", "off", "--setup", "--no-vd",
                                        "--frames", "100000", "--app", "--menubar", "--m0"})));
  EXPECT_FALSE(HostEntry::refusal(argv({"--render-ui", "shots", "--fps", "120", "--port", "65535"})));
  EXPECT_FALSE(HostEntry::refusal(argv({"--width", "3840", "--height", "2160", "--fps", "60"})));
  // The folder of "--render-ui" is a word of its own only where one follows.
  EXPECT_EQ(HostEntry::plan(argv({"--render-ui", "shots"}), false).renderUiFolder, "shots");
  EXPECT_EQ(HostEntry::plan(argv({"--render-ui", "--m2"}), false).renderUiFolder, "render-ui");
  EXPECT_TRUE(HostEntry::refusal(argv({"--render-ui", "shots", "more"})));
  for (const auto& bad : {argv({"--width", "62"}), argv({"--width", "4098"}), argv({"--fps", "23"}),
                          argv({"--fps", "121"}), argv({"--frames", "0"}), argv({"--port", "-1"}),
                          argv({"--no-m2"}), argv({"--width=800"}), argv({"--fps", " 60"})}) {
    EXPECT_TRUE(HostEntry::refusal(bad)) << bad[1];
  }
}

}  // namespace
}  // namespace lumenrail

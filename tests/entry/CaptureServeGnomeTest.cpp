// "--m2" as a user starts it in a GNOME Wayland session (a headless one of
// the test's own), and in a Wayland session that is not GNOME.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "support/GnomeStreamChecks.hpp"
#include "support/HeadlessMutter.hpp"
#include "support/HostProcess.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

const std::vector<std::string> kExtend = {"--m2", "--port", "0", "--width", "640", "--height", "480", "--fps", "30"};

uint16_t servingPort(const std::string& output) {
  const size_t line = output.find("[m2] capturing + serving");
  const size_t at = line == std::string::npos ? line : output.find(" on :", line);
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(output.substr(at + 5)));
}

std::vector<std::string> sessionOf(const test::HeadlessMutter& desktop) {
  auto env = desktop.clientEnvironment();
  env.push_back("LUMENRAIL_DESKTOP");
  return env;
}

TEST(CaptureServeGnomeAcceptance, ServesTheSessionToADecodingClientWhosePenLandsAndAKilledHostLeavesNoMonitor) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  auto bus = DBusConnection::connect(desktop.busAddress());
  const auto before = test::mutterLayout(*bus);
  test::HostProcess host(LUMENRAILHOST_BINARY, kExtend, sessionOf(desktop));
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(host.waitFor("[m2] capturing + serving 640x480@30")) << host.output() << desktop.logs();
  EXPECT_NE(host.output().find("[m2] desktop: GNOME on Wayland"), std::string::npos) << host.output();
  ASSERT_EQ(test::mutterLayout(*bus).size(), 2u);

  // The virtual monitor lies right of the 1920-wide one.
  test::WaylandColourClient window(desktop, 0x20c040, 1920);
  ASSERT_EQ(window.waitForLine("ready 640 480", test::kDeadlineNs), "ready 640 480") << desktop.logs();
  test::WireTestClient client(servingPort(host.output()));
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  EXPECT_TRUE(test::streamShowsLuma(client, 149)) << "the stream does not show the window";
  // The seat gains its pointer with the first move (a hover, as a pen comes), the window then binds it.
  ASSERT_TRUE(client.send(test::Code::input, test::penSample(1, 16384, 49152)));
  ASSERT_NE(window.waitForLine("pointer enter", test::kDeadlineNs), "") << host.output();
  ASSERT_TRUE(client.send(test::Code::input, test::penSample(3, 16384, 49152)));
  EXPECT_EQ(window.waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 pressed") << host.output();
  const auto at = test::positionBeforePress(window.seen());
  EXPECT_NEAR(at.first, 160, 1);
  EXPECT_NEAR(at.second, 360, 1);

  // Mutter ends the session with the host's connections: nothing is left.
  ::kill(host.pid(), SIGKILL);
  host.waitExit();
  EXPECT_TRUE(test::eventually([&] { return test::mutterLayout(*bus) == before; }))
      << test::mutterLayout(*bus).size() << " logical monitors";
}

TEST(CaptureServeGnomeAcceptance, AWaylandSessionWithoutMutterIsRefusedWithWhatToDoInstead) {
  test::PrivateSessionBus bus;
  if (!bus.running()) GTEST_SKIP() << bus.whyNot();
  test::HostProcess host(LUMENRAILHOST_BINARY, kExtend,
                         {"WAYLAND_DISPLAY=wayland-lumenrail-test", "DISPLAY=:0", "LUMENRAIL_DESKTOP",
                          "DBUS_SESSION_BUS_ADDRESS=" + bus.address()});
  ASSERT_TRUE(host.started());
  EXPECT_EQ(host.waitExit(), 2) << host.output();
  EXPECT_NE(host.output().find("[m2] ERROR: this Wayland session is not GNOME"), std::string::npos) << host.output();
  EXPECT_NE(host.output().find("GNOME on Wayland"), std::string::npos) << host.output();
  EXPECT_EQ(host.output().find("capturing + serving"), std::string::npos) << host.output();
}

}  // namespace
}  // namespace lumenrail

// The serving session on a headless GNOME Wayland desktop of the test's own:
// what the stream shows, where the pen lands, what the layout is afterwards.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "desktop/gnome/GnomeDesktopEnvironment.hpp"
#include "desktop/gnome/GnomeDisplayConfiguration.hpp"
#include "input/InputEvent.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "session/M2Pipeline.hpp"
#include "support/EventLog.hpp"
#include "support/GnomeStreamChecks.hpp"
#include "support/HeadlessMutter.hpp"
#include "support/QuietPublisher.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::WireTestClient;

// Full-range BT.709 luma of the colour clients' colours.
constexpr uint32_t kGreen = 0x20c040;
constexpr int kGreenLuma = 149;
constexpr uint32_t kBlue = 0x2040c0;
constexpr int kBlueLuma = 66;

std::shared_ptr<M2Pipeline> serveOn(const test::HeadlessMutter& desktop, bool captureMain, bool penHighRate,
                                    test::EventLog& log) {
  M2Pipeline::Config c;
  c.mode = {1280, 720, 30};
  c.port = 0;
  c.captureMain = captureMain;
  c.penHighRate = penHighRate;
  c.desktop = std::make_shared<GnomeDesktopEnvironment>(
      GnomeDesktopEnvironment::Config{desktop.busAddress(), desktop.pipewireRemote()});
  c.log = [&log](const std::string& line) { log.add(line); };
  c.publisherFactory = [](ServicePublisher::Listener) { return std::make_unique<test::QuietPublisher>(); };
  return M2Pipeline::create(std::move(c));
}

std::string last(const test::EventLog& log) { return log.lines().empty() ? "" : log.lines().back(); }
std::string all(const test::EventLog& log) {
  std::string out;
  for (const auto& line : log.lines()) out += line + "\n";
  return out;
}

// After a fault the session is back, and a window put on its monitor now,
// not what was there before, is what the stream shows.
void expectServedAfresh(test::HeadlessMutter& desktop, const test::EventLog& log, WireTestClient& client,
                        const char* tag) {
  EXPECT_TRUE(test::eventually(
      [&] { return log.contains("[m2] capture auto-restarted") || log.contains("[m2] capture recovered"); },
      3 * test::kDeadlineNs))
      << all(log);
  test::WaylandColourClient blue(desktop, kBlue, 1920);
  ASSERT_EQ(blue.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();
  EXPECT_TRUE(test::streamShowsLuma(client, kBlueLuma, 10, tag)) << last(log);
}

TEST(SessionOnGnomeIntegration, TheVirtualMonitorMadeMainIsStreamedThePenLandsInItsWindowAndStopRestoresTheLayout) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  auto bus = DBusConnection::connect(desktop.busAddress());
  const auto before = test::mutterLayout(*bus);
  test::EventLog log;
  auto pipeline = serveOn(desktop, false, true, log);
  ASSERT_TRUE(pipeline->startServing()) << last(log) << desktop.logs();
  WireTestClient client(pipeline->boundPort());
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  // A client makes the pen's high rate real: the virtual monitor becomes main, the old one moves right.
  ASSERT_TRUE(test::eventually([&] { return log.contains("[pen] high-rate: Lumenrail display is now main"); }))
      << last(log);
  const auto promoted = test::mutterLayout(*bus);
  ASSERT_EQ(promoted.size(), 2u);
  EXPECT_EQ(promoted[0].rfind("0,0 primary ", 0) == 0 || promoted[1].rfind("0,0 primary ", 0) == 0, true)
      << promoted[0] << " | " << promoted[1];
  EXPECT_NE((promoted[0] + promoted[1]).find("1280,0 "), std::string::npos) << promoted[0] << " | " << promoted[1];

  test::WaylandColourClient window(desktop, kGreen, 0);
  ASSERT_EQ(window.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();
  EXPECT_TRUE(test::streamShowsLuma(client, kGreenLuma)) << "the stream does not show the window on the virtual monitor";

  // A seat without real devices gains its pointer with the first move, and the window binds
  // it only then: a hover comes first, as a pen does.
  ASSERT_TRUE(client.send(test::Code::input, test::penSample(1, 32768, 32768)));
  ASSERT_NE(window.waitForLine("pointer enter", test::kDeadlineNs), "");
  ASSERT_TRUE(client.send(test::Code::input, test::penSample(3, 32768, 32768)));
  EXPECT_EQ(window.waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 pressed");
  const auto at = test::positionBeforePress(window.seen());
  EXPECT_NEAR(at.first, 640, 1);
  EXPECT_NEAR(at.second, 360, 1);
  ASSERT_TRUE(client.send(test::Code::input, test::penSample(0, 32768, 32768)));
  EXPECT_EQ(window.waitForLine("pointer button", test::kDeadlineNs), "pointer button 272 released");

  pipeline->stopServing();
  EXPECT_TRUE(test::eventually([&] { return test::mutterLayout(*bus) == before; }))
      << test::mutterLayout(*bus).front() << " (before: " << before.front() << ")";
}

TEST(SessionOnGnomeIntegration, MirrorStreamsThePrimaryMonitorAndMutterKilledEndsTheCaptureWithoutAHang) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  test::EventLog log;
  auto pipeline = serveOn(desktop, true, false, log);
  ASSERT_TRUE(pipeline->startServing()) << last(log) << desktop.logs();
  WireTestClient client(pipeline->boundPort());
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  test::WaylandColourClient window(desktop, kBlue, 0);
  ASSERT_EQ(window.waitForLine("ready 1920 1080", test::kDeadlineNs), "ready 1920 1080") << desktop.logs();
  EXPECT_TRUE(test::streamShowsLuma(client, kBlueLuma)) << "the stream does not show the primary monitor";

  desktop.killMutter();
  EXPECT_TRUE(test::eventually([&] { return log.contains("[m2] capture stopped unexpectedly"); })) << last(log);
  pipeline->stopServing();  // returns: the ctest deadline is what a hang would meet
}

// A session extending onto a virtual monitor, and that monitor as Mutter lists it at the start.
class SessionOnGnomeMonitorIntegration : public ::testing::Test {
 protected:
  void serve(bool penHighRate) {
    if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
    bus = DBusConnection::connect(desktop.busAddress());
    for (const auto& m : test::mutterMonitors(*bus)) real.insert(m.connector);
    pipeline = serveOn(desktop, false, penHighRate, log);
    ASSERT_TRUE(pipeline->startServing()) << last(log) << desktop.logs();
    const auto monitor = ours();
    ASSERT_TRUE(monitor.has_value());
    atStart = *monitor;
  }
  std::optional<test::MutterMonitor> ours() { return test::mutterMonitorBesides(*bus, real); }
  void TearDown() override {
    if (pipeline) pipeline->stopServing();
  }

  test::HeadlessMutter desktop;
  std::shared_ptr<DBusConnection> bus;
  std::set<std::string> real;
  test::EventLog log;
  std::shared_ptr<M2Pipeline> pipeline;
  test::MutterMonitor atStart;
};

// A client's new mode resizes the virtual monitor Mutter already has: the
// same monitor (connector and serial) at the new size, and the stream shows
// what is on it now, at that size. A 4:3 mode after a 16:9 one: a picture of
// the old monitor fitted into the new stream would have black bars. (Mutter
// 43 still moves the fullscreen window that was on it to another monitor.)
TEST_F(SessionOnGnomeMonitorIntegration, AClientModeResizesTheVirtualMonitorInPlaceAndStreamsItAtTheNewSize) {
  serve(false);
  if (IsSkipped() || HasFatalFailure()) return;
  WireTestClient client(pipeline->boundPort());
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  test::WaylandColourClient green(desktop, kGreen, 1920);
  ASSERT_EQ(green.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();
  ASSERT_TRUE(test::streamShowsLuma(client, kGreenLuma));

  ASSERT_TRUE(client.send(test::Code::clientMode, WireTestClient::clientMode(1024, 768, 30)));
  ASSERT_TRUE(test::eventually([&] { return log.contains("[m2] now capturing + serving 1024x768@30"); }))
      << all(log);
  const auto after = ours();
  ASSERT_TRUE(after.has_value()) << "no virtual monitor after the change";
  EXPECT_EQ(after->connector, atStart.connector) << "the monitor was made anew";
  EXPECT_EQ(after->serial, atStart.serial) << "the monitor was made anew";
  EXPECT_EQ(after->width, 1024);
  EXPECT_EQ(after->height, 768);
  EXPECT_EQ(test::mutterLayout(*bus).size(), 2u);

  test::WaylandColourClient blue(desktop, kBlue, 1920);
  ASSERT_EQ(blue.waitForLine("ready 1024 768", test::kDeadlineNs), "ready 1024 768") << desktop.logs();
  EXPECT_TRUE(test::streamShowsLuma(client, kBlueLuma, 10, "mode-after")) << last(log);
}

// Pen high rate asks for a higher rate when a client comes and the old rate
// when it goes: the monitor stays the same one (a rate is the pacer's
// business), making it main is a layout change, and the rate logged is the
// one Mutter reports.
TEST_F(SessionOnGnomeMonitorIntegration, PenHighRateMakesTheSameMonitorMainAndLogsTheRateMutterReports) {
  serve(true);
  if (IsSkipped() || HasFatalFailure()) return;
  {
    WireTestClient client(pipeline->boundPort());
    ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
    ASSERT_TRUE(test::eventually([&] { return log.contains("[pen] high-rate: Lumenrail display is now main"); }))
        << all(log);
    EXPECT_EQ(ours(), atStart) << "a new rate made a new monitor";
    const std::string reported = "now main at " + std::to_string(std::lround(atStart.refreshHz)) + " Hz";
    EXPECT_TRUE(log.contains(reported)) << "Mutter reports " << atStart.refreshHz << " Hz\n" << all(log);
  }
  ASSERT_TRUE(test::eventually([&] { return log.contains("[pen] high-rate: main display restored"); })) << all(log);
  EXPECT_EQ(ours(), atStart) << "the old rate made a new monitor";
}

// GNOME Shell back after a crash is a new Mutter on the same bus: the session
// finds it by its well-known names and serves a fresh monitor from it, and
// the stream then shows the monitor now.
TEST(SessionOnGnomeIntegration, AMutterRestartedOnTheSameBusIsServedAgainOnAFreshMonitor) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  test::EventLog log;
  auto pipeline = serveOn(desktop, false, false, log);
  ASSERT_TRUE(pipeline->startServing()) << last(log) << desktop.logs();
  WireTestClient client(pipeline->boundPort());
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  test::WaylandColourClient green(desktop, kGreen, 1920);
  ASSERT_EQ(green.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();
  ASSERT_TRUE(test::streamShowsLuma(client, kGreenLuma, 10, "restart-before"));
  if (!desktop.restartMutter()) GTEST_SKIP() << desktop.whyNot();
  expectServedAfresh(desktop, log, client, "restart-after");
  auto bus = DBusConnection::connect(desktop.busAddress());
  EXPECT_EQ(test::mutterLayout(*bus).size(), 2u) << "no virtual monitor on the Mutter serving now";
  pipeline->stopServing();
}

// Whether an Advisory with these flags comes (a loaded machine may flag a
// slow answer of Mutter's before).
bool advisoryComes(WireTestClient& client, uint8_t flags) {
  for (int i = 0; i < 10; ++i) {
    const auto advisory = client.readUntil(test::Code::advisory, nullptr, 20000);
    if (!advisory) return false;
    if (advisory->payload.size() == 4 && advisory->payload[3] == flags) return true;
  }
  return false;
}

// A Mutter that hangs a while (SIGSTOP: swap, a busy GPU) still owns its
// names and its session: the client is told while nothing comes, and once
// Mutter goes on the tablet's monitor is the same one, with the window that
// was on it before the pause, and the stream shows it. Nothing is opened
// after the fault.
TEST(SessionOnGnomeIntegration, APausedMutterIsWaitedForAndTheTabletKeepsItsMonitorAndWindow) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  auto bus = DBusConnection::connect(desktop.busAddress());
  std::set<std::string> real;
  for (const auto& m : test::mutterMonitors(*bus)) real.insert(m.connector);
  test::EventLog log;
  auto pipeline = serveOn(desktop, false, false, log);
  ASSERT_TRUE(pipeline->startServing()) << last(log) << desktop.logs();
  const auto monitor = test::mutterMonitorBesides(*bus, real);
  ASSERT_TRUE(monitor.has_value());
  WireTestClient client(pipeline->boundPort());
  ASSERT_TRUE(client.readUntil(test::Code::hello).has_value());
  test::WaylandColourClient green(desktop, kGreen, 1920);
  ASSERT_EQ(green.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();
  ASSERT_TRUE(test::streamShowsLuma(client, kGreenLuma, 10, "paused-before"));

  desktop.pauseMutter();
  EXPECT_TRUE(advisoryComes(client, 2)) << all(log);  // degraded, one client
  EXPECT_TRUE(test::eventually([&] { return log.contains("which still hold the session — waiting"); },
                               3 * test::kDeadlineNs))
      << all(log);
  desktop.continueMutter();
  EXPECT_TRUE(advisoryComes(client, 0)) << all(log);
  EXPECT_TRUE(test::streamShowsLuma(client, kGreenLuma, 10, "paused-after")) << all(log);
  EXPECT_EQ(test::mutterMonitorBesides(*bus, real), monitor) << "the monitor was made anew";
  EXPECT_FALSE(log.contains("SILENT-STALL")) << all(log);
  EXPECT_FALSE(log.contains("screen is static")) << "the hung Mutter passed for a still screen";
  pipeline->stopServing();
}

// The display arrangement as the session drives it through the virtual display manager.
TEST(GnomeDisplayConfigurationIntegration, AModeChangeResizesTheVirtualMonitorAndDestroyPutsTheLayoutBack) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  auto bus = DBusConnection::connect(desktop.busAddress());
  const auto before = test::mutterLayout(*bus);
  auto displays = GnomeDisplayConfiguration::open({desktop.busAddress(), desktop.pipewireRemote()});
  const uint32_t oldMain = displays->mainDisplay();
  test::EventLog log;
  VirtualDisplayManager vd(displays, [&log](const std::string& line) { log.add(line); });
  ASSERT_TRUE(vd.create({"Lumenrail Display", 1280, 720, 30, 345, 194})) << last(log);
  EXPECT_EQ(displays->bounds(vd.displayID()), (DisplayBounds{1920, 0, 1280, 720}));
  // What a tablet is mapped to: the two monitors have names of their own.
  const auto mainOutput = displays->outputOf(oldMain);
  const auto virtualOutput = displays->outputOf(vd.displayID());
  ASSERT_TRUE(mainOutput && virtualOutput);
  EXPECT_NE(*virtualOutput, *mainOutput);
  EXPECT_FALSE(virtualOutput->vendor.empty() || virtualOutput->serial.empty())
      << virtualOutput->vendor << "/" << virtualOutput->product << "/" << virtualOutput->serial;

  const std::string connector = displays->connectorOf(vd.displayID());
  ASSERT_TRUE(vd.applyMode(800, 600, 30));
  EXPECT_EQ(displays->bounds(vd.displayID()), (DisplayBounds{1920, 0, 800, 600}));
  EXPECT_EQ(displays->connectorOf(vd.displayID()), connector);
  EXPECT_EQ(test::mutterLayout(*bus).size(), 2u) << "the monitor of the old mode is still there";

  ASSERT_TRUE(vd.makeMain());
  EXPECT_EQ(displays->mainDisplay(), vd.displayID());
  EXPECT_EQ(displays->bounds(vd.displayID()), (DisplayBounds{0, 0, 800, 600}));
  EXPECT_EQ(displays->bounds(oldMain), (DisplayBounds{800, 0, 1920, 1080}));

  vd.destroy();
  EXPECT_TRUE(test::eventually([&] { return test::mutterLayout(*bus) == before; }))
      << test::mutterLayout(*bus).front() << " (before: " << before.front() << ")";
}

// A new size under a running capture: frames and input go on on the resized monitor.
TEST(GnomeDesktopIntegration, TheStreamAndInputFollowTheVirtualMonitorToANewSize) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  GnomeDesktopEnvironment environment({desktop.busAddress(), desktop.pipewireRemote()});
  auto displays = environment.openDisplays();
  VirtualDisplayManager vd(displays, [](const std::string&) {});
  ASSERT_TRUE(vd.create({"Lumenrail Display", 640, 480, 30, 345, 194}));
  CaptureRequest request{640, 480, 30, vd.displayID(), true, PixelFormat::nv12FullRange};
  auto capture = environment.makeCapture(request);
  test::EventCounter frames;  // of the new size
  capture->onFrame = [&](const PixelBufferRef& frame, uint64_t) {
    if (frame->width() == 800 && frame->height() == 600) frames.add();
  };
  capture->start();
  auto input = environment.makeInputSink(nullptr);
  EXPECT_TRUE(environment.mayPostInput());

  ASSERT_TRUE(vd.applyMode(800, 600, 30));
  const auto bounds = displays->bounds(vd.displayID());
  ASSERT_TRUE(bounds.has_value());
  // The pointer drawn into the frames: each move on the new monitor is a new frame.
  const int before = frames.count();
  InputEvent move;
  move.type = EventType::mouseMoved;
  move.location = {double(bounds->x + 100), double(bounds->y + 100)};
  // A Mutter slowed by a loaded machine may miss one call's deadline; input
  // then resumes on a later try.
  EXPECT_TRUE(test::eventually([&] { return input->post(move); })) << "no input on the resized monitor";
  move.location = {double(bounds->x + 300), double(bounds->y + 200)};
  EXPECT_TRUE(test::eventually([&] { return input->post(move); }));
  EXPECT_TRUE(frames.waitFor(before + 1)) << "no frame of the new size";
  EXPECT_GT(capture->deliveryCount(), 0u);
  capture->stop();
  vd.destroy();
}

}  // namespace
}  // namespace lumenrail

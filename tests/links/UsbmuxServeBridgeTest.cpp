#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>
#include <memory>
#include <string>

#include "links/UsbmuxServeBridge.hpp"
#include "support/EventLog.hpp"
#include "support/FakeUsbmuxd.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {
namespace {

using test::EventLog;
using test::FakeUsbmuxd;
using test::WireTestClient;
namespace Code = test::Code;
using Reply = FakeUsbmuxd::Reply;

const std::string& kDevices = FakeUsbmuxd::kNetworkAndUsbDevices;
const std::string& kNetworkOnly = FakeUsbmuxd::kNetworkDeviceOnly;
constexpr auto dict = &FakeUsbmuxd::dictReply;
constexpr auto result = &FakeUsbmuxd::resultReply;
constexpr auto isList = &FakeUsbmuxd::isListDevices;

const std::string kNotListening =
    "device 5 (usb-5) attached but nothing is listening on :27184 — waiting for the client app to tap "
    "\"Connect over USB\"";

class UsbmuxServeBridgeIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    WireServer::Config config;
    config.port = 0;
    config.hello.width = 1920;
    config.hello.height = 1080;
    config.hello.frameRateNum = 60;
    config.hello.frameRateDen = 1;
    config.hello.bitrateBps = 12'000'000;
    config.hello.qpcFrequency = 1'000'000'000;
    config.degradeIntervalNs = 3600 * kNsPerSecond;
    server = WireServer::create(config);
    server->start();
  }
  void TearDown() override {
    if (bridge) bridge->stop();
    server->stop();
  }

  std::shared_ptr<UsbmuxServeBridge> makeBridge(const std::string& path, std::optional<std::string> serial = {}) {
    bridge = UsbmuxServeBridge::create(server, UsbmuxServeBridge::usbListenPort, std::move(serial));
    bridge->endpoint = {path, 2000};
    bridge->idlePollNs = 5 * kNsPerMs;
    bridge->refusedPollNs = 5 * kNsPerMs;
    bridge->onEvent = [this](const std::string& line) { log.add(line); };
    return bridge;
  }

  std::shared_ptr<WireServer> server;
  std::shared_ptr<UsbmuxServeBridge> bridge;
  EventLog log;
};

TEST_F(UsbmuxServeBridgeIntegration, TunnelToTheUsbDeviceCarriesTheWireSessionAndIsRedialledAfterClosing) {
  std::atomic<int> connects{0};
  FakeUsbmuxd fake([&](const FakeUsbmuxd::Request& r) {
    if (isList(r)) return dict(kDevices);
    return result(++connects == 1 ? 0 : 3);
  });
  makeBridge(fake.path())->start();

  const int deviceEnd = fake.takeTunnel();
  ASSERT_GE(deviceEnd, 0);
  {
    WireTestClient client = WireTestClient::fromFd(deviceEnd);
    auto hello = client.read();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->type, Code::hello);
    EXPECT_EQ(test::le32(hello->payload, 4), 1920u);
    EXPECT_TRUE(log.waitFor("tunnel up → device 5 (usb-5) :27184"));
    EXPECT_TRUE(bridge->tunnelActive());
    EXPECT_TRUE(test::eventually([&] { return server->clientCount() == 1; }));
  }  // the client application goes away

  EXPECT_TRUE(log.waitFor("tunnel closed — will redial"));
  EXPECT_TRUE(log.waitFor(kNotListening));  // the next dial finds nothing listening yet
  bridge->stop();
  EXPECT_TRUE(log.waitFor("bridge stopped"));

  const auto lines = log.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "watching usbmuxd for a USB device (dialing port 27184)");
  EXPECT_EQ(lines.back(), "bridge stopped");
  // Only the USB device was ever dialled, on the byte-swapped port.
  for (const auto& r : fake.requests()) {
    if (isList(r)) continue;
    EXPECT_EQ(r.integers.at("DeviceID"), 5);
    EXPECT_EQ(r.integers.at("PortNumber"), 12394);
  }
}

TEST_F(UsbmuxServeBridgeIntegration, NetworkDevicesAreNeverDialled) {
  FakeUsbmuxd network([](const FakeUsbmuxd::Request& r) { return isList(r) ? dict(kNetworkOnly) : result(0); });
  makeBridge(network.path())->start();
  ASSERT_TRUE(network.waitForRequests(4));
  bridge->stop();
  EXPECT_EQ(log.count("no USB device attached — waiting"), 1);
  for (const auto& r : network.requests()) EXPECT_TRUE(isList(r));
}

TEST_F(UsbmuxServeBridgeIntegration, ASerialFilterMatchingNoDeviceIsNoDevice) {
  FakeUsbmuxd other([](const FakeUsbmuxd::Request& r) { return isList(r) ? dict(kDevices) : result(0); });
  makeBridge(other.path(), "someone-else")->start();
  ASSERT_TRUE(other.waitForRequests(4));
  bridge->stop();
  EXPECT_EQ(log.count("no USB device attached — waiting"), 1);
  for (const auto& r : other.requests()) EXPECT_TRUE(isList(r));
}

TEST_F(UsbmuxServeBridgeIntegration, RefusalsAreReportedOncePerRun) {
  // Connect answers: 3, 3, 3, 2, 3, 3 ...
  std::atomic<int> connects{0};
  FakeUsbmuxd fake([&](const FakeUsbmuxd::Request& r) {
    if (isList(r)) return dict(kDevices);
    return result(++connects == 4 ? 2 : 3);
  });
  makeBridge(fake.path(), "usb-5")->start();
  ASSERT_TRUE(test::eventually([&] { return connects.load() >= 7; }));
  bridge->stop();
  EXPECT_EQ(log.count(kNotListening), 2);
  EXPECT_EQ(log.count("connect failed: usbmuxd Connect refused: Result 2 (device not connected) — retrying"), 1);
  const auto lines = log.lines();
  const auto failed = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.starts_with("connect failed"); });
  ASSERT_NE(failed, lines.end());
  EXPECT_EQ(std::count(lines.begin(), failed, kNotListening), 1);
}

TEST_F(UsbmuxServeBridgeIntegration, AMissingDaemonIsReportedAsSuchUntilItAppears) {
  const std::string path = FakeUsbmuxd::freshPath();
  const std::string missing =
      "usbmuxd is not running (connect(" + path + ") failed: No such file or directory (errno 2)) — waiting";
  makeBridge(path)->start();
  ASSERT_TRUE(log.waitFor(missing));
  EXPECT_EQ(log.count("no USB device attached"), 0);

  FakeUsbmuxd fake(path, [](const FakeUsbmuxd::Request&) { return dict(kNetworkOnly); });
  EXPECT_TRUE(log.waitFor("no USB device attached — waiting"));
  bridge->stop();
  EXPECT_EQ(log.count(missing), 1);
}

TEST_F(UsbmuxServeBridgeIntegration, AHungDaemonDoesNotBlockStop) {
  FakeUsbmuxd fake([](const FakeUsbmuxd::Request&) { return Reply{Reply::Action::hang, {}, false}; });
  makeBridge(fake.path());
  bridge->endpoint.timeoutMs = 100;
  bridge->start();
  ASSERT_TRUE(fake.waitForRequests(1));
  bridge->stop();  // returns once the exchange has timed out
  EXPECT_TRUE(log.contains("bridge stopped"));
  EXPECT_TRUE(log.contains("usbmuxd listing failed (usbmuxd I/O: read EOF/err after 0/16: errno " +
                           std::to_string(ETIMEDOUT) + ") — waiting"));
}

TEST_F(UsbmuxServeBridgeIntegration, TunnelsThatAFullServerClosesAtOnceAreRedialledLessAndLessOften) {
  server->stop();
  WireServer::Config full;
  full.port = 0;
  full.maxSessions = 0;
  full.maxCableSessions = 0;
  server = WireServer::create(full);
  server->start();
  std::atomic<int> connects{0};
  FakeUsbmuxd fake([&](const FakeUsbmuxd::Request& r) {
    if (isList(r)) return dict(kDevices);
    ++connects;
    return result(0);
  });
  makeBridge(fake.path());
  // The worker's waits move the bridge's clock: every tunnel lives no time at all.
  auto clock = std::make_shared<std::atomic<uint64_t>>(0);
  std::mutex m;
  std::vector<uint64_t> waits;
  bridge->nowNs = [clock] { return clock->load(); };
  bridge->waitForTesting = [&, clock](uint64_t ns) {
    *clock += ns;
    std::lock_guard lock(m);
    waits.push_back(ns / kNsPerMs);
  };
  bridge->start();
  auto recorded = [&] {
    std::lock_guard lock(m);
    return waits;
  };
  ASSERT_TRUE(test::eventually([&] { return recorded().size() >= 8; }));
  bridge->stop();
  const auto seen = recorded();
  EXPECT_EQ(std::vector<uint64_t>(seen.begin(), seen.begin() + 8),
            (std::vector<uint64_t>{250, 500, 1000, 2000, 4000, 8000, 8000, 8000}));
  for (uint64_t ms : seen) EXPECT_LE(ms, 8000u);
  EXPECT_GE(connects.load(), 8);
  // The first closure is told whole, then one line at the cap and the count at the end.
  EXPECT_EQ(log.count("tunnel up → device 5 (usb-5) :27184"), 1);
  EXPECT_EQ(log.count("tunnel closed — will redial"), 1);
  EXPECT_EQ(log.count("tunnel closed at once 6 times in a row — redialling every 8 s"), 1);
  EXPECT_EQ(log.count("more time(s), not logged"), connects.load() > 6 ? 1 : 0);
  EXPECT_LE(log.lines().size(), 6u);
}

TEST_F(UsbmuxServeBridgeIntegration, StopLeavesAnAdoptedTunnelToTheServer) {
  FakeUsbmuxd fake([](const FakeUsbmuxd::Request& r) { return isList(r) ? dict(kDevices) : result(0); });
  makeBridge(fake.path())->start();
  const int deviceEnd = fake.takeTunnel();
  ASSERT_GE(deviceEnd, 0);
  WireTestClient client = WireTestClient::fromFd(deviceEnd);
  ASSERT_TRUE(client.readUntil(Code::hello));
  bridge->stop();
  EXPECT_TRUE(log.contains("bridge stopped"));
  // The Hello is queued before the session registers: wait for the registration.
  EXPECT_TRUE(test::eventually([&] { return server->clientCount() == 1; }));
  server->stop();  // the server's own stop ends the session
  EXPECT_TRUE(client.readUntil(Code::bye));
  EXPECT_TRUE(log.waitFor("tunnel closed — will redial"));
}

}  // namespace
}  // namespace lumenrail

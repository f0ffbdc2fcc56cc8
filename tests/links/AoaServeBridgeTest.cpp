#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "FakeAoaUsb.hpp"
#include "links/aoa/aoa.h"
#include "links/AoaServeBridge.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The bridge between a fake phone and a real wire server. What the phone
// takes on bulk OUT comes out of `phone` (parsed by the independent client).
class AoaServeBridgeIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    WireServer::Config config;
    config.port = 0;
    config.hello.width = 1280;
    config.hello.height = 800;
    config.hello.frameRateNum = 60;
    config.hello.frameRateDen = 1;
    config.hello.bitrateBps = 12'000'000;
    config.hello.qpcFrequency = 1'000'000'000;
    server = WireServer::create(config);
    WireServer::Hooks hooks;
    hooks.onEvent = [this](const std::string& line) { log.add("wire: " + line); };
    server->setHooks(std::move(hooks));
    server->start();
    bridge = AoaServeBridge::create(server);
    bridge->onEvent = [this](const std::string& line) { log.add(line); };
    bridge->nowNs = [this] {
      ++bridgeClockReads;
      return usb.nowNs();
    };
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    usb.forwardTakenTo(fds[0]);
    phoneFd = fds[0];
    phone = std::make_unique<WireTestClient>(WireTestClient::fromFd(fds[1]));
  }

  void TearDown() override {
    bridge->stop();
    server->stop();
    if (HasFailure()) {
      for (const auto& line : log.lines()) std::printf("  event: %s\n", line.c_str());
    }
    usb.forwardTakenTo(-1);
    ::close(phoneFd);
  }

  // Lets the watcher reach its pause, moves the clock past it and waits
  // until the bus has been listed again. The pause has begun once the bridge
  // read its clock twice (its deadline, then its first check).
  bool nextPass(uint64_t pauseMs) {
    const int listed = usb.listings();
    const int reads = bridgeClockReads.load();
    if (!eventually([&] { return bridgeClockReads.load() >= reads + 2; })) return false;
    usb.advanceMs(pauseMs);
    return eventually([&] { return usb.listings() > listed; });
  }

  FakeAoaUsb usb;
  EventLog log;
  std::atomic<int> bridgeClockReads{0};
  std::shared_ptr<WireServer> server;
  std::shared_ptr<AoaServeBridge> bridge;
  int phoneFd = -1;
  std::unique_ptr<WireTestClient> phone;
};

TEST_F(AoaServeBridgeIntegration, HelloReachesThePhoneAndStopReleasesTheCable) {
  usb.addDevice(FakeUsbDevice{});
  bridge->start();
  ASSERT_TRUE(phone->readUntil(Code::hello).has_value());
  EXPECT_TRUE(log.contains("watching for a wired Android device (AOA)"));
  EXPECT_TRUE(log.contains("accessory open (18d1:2d01)"));  // driver lines reach onEvent
  EXPECT_TRUE(log.contains("cable up — serving over AOA"));

  bridge->stop();
  // stop() has waited for the watcher, which waited for the cable thread.
  EXPECT_TRUE(log.contains("session ended after"));
  EXPECT_TRUE(log.contains("stopped"));
  EXPECT_EQ(usb.device(0).closes, 1);
  EXPECT_EQ(usb.device(0).releases, 1);
}

TEST_F(AoaServeBridgeIntegration, StopEndsACablePumpingToAPhoneThatDoesNotRead) {
  usb.addDevice(FakeUsbDevice{});
  usb.setOut(FakeAoaUsb::Out::hold);
  usb.phoneSends({0x05, 0, 0, 0, 0});
  bridge->start();
  ASSERT_TRUE(eventually([&] { return usb.pendingOut() > 0; }));
  bridge->stop();
  EXPECT_TRUE(log.contains("— clean end"));
  EXPECT_TRUE(log.contains("stopped"));
  EXPECT_EQ(usb.pendingOut(), 0);
  EXPECT_EQ(usb.device(0).closes, 1);
  bridge->start();  // a stopped bridge can serve again
  ASSERT_TRUE(eventually([&] { return log.count("cable up — serving over AOA") == 2; }));
  EXPECT_EQ(log.count("watching for a wired Android device (AOA)"), 2);
  EXPECT_EQ(usb.device(0).opens, 2);
}

TEST_F(AoaServeBridgeIntegration, ClientByeHoldsTheCableForTheNextConnectBurst) {
  usb.addDevice(FakeUsbDevice{});
  bridge->start();
  ASSERT_TRUE(phone->readUntil(Code::hello).has_value());
  usb.phoneSends({0x09, 0, 0, 0, 0});
  ASSERT_TRUE(log.waitFor("the client is not taking the cable — session ended, waiting for it to connect"));
  usb.phoneSends({0x07, 0, 0, 0, 0});
  ASSERT_TRUE(log.waitFor("client connect burst (5 B, first type 0x07)"));
  ASSERT_TRUE(phone->readUntil(Code::hello).has_value());  // a new session greets the phone
  EXPECT_EQ(log.count("cable up — serving over AOA"), 2);
  EXPECT_EQ(usb.device(0).opens, 1);  // the same cable, never reopened
  EXPECT_EQ(usb.device(0).closes, 0);
}

TEST_F(AoaServeBridgeIntegration, CableThatFailsAtOnceStillLastsOneSecond) {
  usb.addDevice(FakeUsbDevice{});
  usb.unplug();  // opens, but every transfer fails
  bridge->start();
  ASSERT_TRUE(log.waitFor("session ended after"));
  usb.advanceMs(999);
  // The clock stands below one second, so the cable cannot be released yet;
  // let the bridge's waits read it a good number of times first.
  const uint64_t reads = usb.clockReads();
  ASSERT_TRUE(eventually([&] { return usb.clockReads() > reads + 20; }));
  EXPECT_EQ(usb.device(0).closes, 0);
  usb.advanceMs(1);
  EXPECT_TRUE(eventually([&] { return usb.device(0).closes >= 1; }));
}

TEST_F(AoaServeBridgeIntegration, StoppingCutsTheOneSecondShort) {
  usb.addDevice(FakeUsbDevice{});
  usb.unplug();
  bridge->start();
  ASSERT_TRUE(log.waitFor("session ended after"));
  bridge->stop();  // the clock never moves; only the stop ends the wait
  EXPECT_EQ(usb.device(0).closes, 1);
  EXPECT_TRUE(log.contains("stopped"));
}

TEST_F(AoaServeBridgeIntegration, WatcherReportsEachStateOncePerStretch) {
  bridge->start();
  ASSERT_TRUE(log.waitFor("no wired Android device — waiting"));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(nextPass(1000));
  EXPECT_EQ(log.count("no wired Android device — waiting"), 1);

  FakeUsbDevice phoneInOrdinaryMode;
  phoneInOrdinaryMode.product = 0x4EE7;
  usb.addDevice(phoneInOrdinaryMode);
  ASSERT_TRUE(nextPass(1000));
  ASSERT_TRUE(log.waitFor("phone switching into accessory mode — waiting for it to re-enumerate"));
  ASSERT_TRUE(nextPass(500));
  ASSERT_TRUE(nextPass(500));
  EXPECT_EQ(log.count("phone switching into accessory mode"), 1);
  EXPECT_EQ(log.count("handshake sent"), 1);
}

TEST_F(AoaServeBridgeIntegration, RefusedDeviceIsReportedAsUnusable) {
  FakeUsbDevice d;
  d.openError = AOA_USB_ERROR_ACCESS;
  usb.addDevice(d);
  bridge->start();
  ASSERT_TRUE(log.waitFor("device present but not usable as an accessory — retrying"));
  EXPECT_TRUE(log.contains("no permission; install the udev rule for Lumenrail or run the host as root"));
}

TEST_F(AoaServeBridgeIntegration, HeldCableKeepsTheWatcherQuiet) {
  usb.addDevice(FakeUsbDevice{});
  bridge->start();
  ASSERT_TRUE(log.waitFor("cable up — serving over AOA"));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(nextPass(1000));
  EXPECT_EQ(log.count("no wired Android device"), 0);
  EXPECT_EQ(usb.device(0).opens, 1);
}

TEST_F(AoaServeBridgeIntegration, AStartAfterAStopThatTimedOutNeverRunsTwoWatchers) {
  usb.holdListings(true);  // the watcher hangs in the driver
  bridge->stopJoinNs = 0;
  bridge->start();
  ASSERT_TRUE(usb.waitListingHeld());
  bridge->stop();
  ASSERT_TRUE(log.waitFor("WARN: the accessory watcher did not end in time"));
  bridge->start();
  usb.holdListings(false);
  // The old watcher ends its pass and stops; only then does the new one watch.
  ASSERT_TRUE(eventually([&] { return log.count("watching for a wired Android device (AOA)") == 2; }));
  ASSERT_TRUE(nextPass(AoaServeBridge::kNoDevicePollNs / 1'000'000));
  const auto lines = log.lines();
  const auto stopped = std::find(lines.begin(), lines.end(), "stopped");
  const auto watching = std::find(lines.rbegin(), lines.rend(), "watching for a wired Android device (AOA)");
  ASSERT_NE(stopped, lines.end());
  EXPECT_LT(stopped - lines.begin(), lines.rend() - watching - 1) << "the second watcher began before the first ended";
  EXPECT_EQ(usb.maxListingsAtOnce(), 1);
  bridge->stopJoinNs = AoaServeBridge::kStopJoinNs;
}

TEST(AoaServeBridgeSink, DriverLinesAfterTheBridgeIsGoneGoNowhere) {
  FakeAoaUsb usb;
  EventLog mine;
  // Another user of the driver, whose sink the bridge replaces.
  ASSERT_EQ(aoa_global_init([](void* ctx, const char* t) { static_cast<EventLog*>(ctx)->add(t); }, &mine), 0);
  {
    EventLog bridgeLog;
    auto server = WireServer::create(WireServer::Config{});
    auto bridge = AoaServeBridge::create(server);
    bridge->onEvent = [&bridgeLog](const std::string& line) { bridgeLog.add(line); };
    bridge->start();
    ASSERT_TRUE(bridgeLog.waitFor("no wired Android device — waiting"));
    bridge->stop();
    bridge.reset();
    server->stop();
  }
  // The driver still has a user, so its sink stays set; the line must not
  // reach the freed bridge (AddressSanitizer watches).
  FakeUsbDevice phone;
  phone.product = 0x4EE7;
  usb.addDevice(phone);
  EXPECT_EQ(aoa_acquire(nullptr, nullptr), AOA_SWITCHING);
  aoa_global_shutdown();
  EXPECT_FALSE(mine.contains("handshake"));
}

}  // namespace
}  // namespace lumenrail::test

// Strangers on the LAN against a sealed, pairing server over loopback: crowds
// from many addresses that hold and re-open links, pair in a device's place,
// replay a recorded record or flood the log. What is measured is whether, and
// how soon, the owner's own devices get in; the waits are printed.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/Clock.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingProtocol.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "support/EventLog.hpp"
#include "support/PairingClient.hpp"
#include "support/StrangerCrowd.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"
#include "wire/WireServerTestPeer.hpp"

namespace lumenrail {
namespace {

namespace P = PairingProtocol;
namespace Code = test::Code;
using Peer = WireServerTestPeer;
using test::PairingClient;
using test::StrangerCrowd;

constexpr uint32_t kCrowd = 0x7f000020;    // 127.0.0.32 and up
constexpr uint32_t kVictims = 0x7f000080;  // 127.0.0.128 and up

double msSince(uint64_t startNs) { return double(uptimeNs() - startNs) / double(kNsPerMs); }

class WireServerStrangersIntegration : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server) server->stop();
    if (HasFailure()) {
      for (const auto& line : log.lines()) std::printf("  event: %s\n", line.c_str());
    }
  }

  using Tune = std::function<void(WireServer::Config&)>;
  // The owner allows exactly the devices named "Genuine".
  void startServer(std::optional<Bytes> psk, bool pairing, const Tune& tune = {}) {
    WireServer::Config config;
    config.port = 0;
    config.hello = test::sampleHello();
    config.psk = std::move(psk);
    if (pairing) {
      auto asked = askedAbout;
      config.pairing.emplace(hostIdentity, store, [asked](const std::string&, const std::string&, const std::string& name) {
        asked->add(name);
        return name == "Genuine";
      });
    }
    WireServer::Hooks hooks;
    watchServer(config, hooks, log, connected, disconnected);
    if (tune) tune(config);
    server = WireServer::create(std::move(config));
    server->setHooks(std::move(hooks));
    server->start();
  }

  // A paired device's whole way in: keys, confirmation, sealed greeting, one packet.
  bool pairedDeviceServed(PairingClient& device) {
    const int before = connected.count();
    if (!device.exchangeKeys() || !device.confirm(true)) return false;
    device.keyPaired();
    const auto hello = device.readSealed();
    if (!hello || hello->type != Code::hello) return false;
    return device.sendSealed(Code::clientInfo, Bytes{'P'}) && connected.waitFor(before + 1);
  }
  // A key holder's: its first record, then the greeting.
  bool keyHolderServed(PairingClient& holder, const Bytes& psk) {
    const int before = connected.count();
    holder.keyPsk(psk);
    if (!holder.sendSealed(Code::clientInfo, Bytes{'K'})) return false;
    const auto hello = holder.readSealed();
    return hello && hello->type == Code::hello && connected.waitFor(before + 1);
  }

  test::TempPairingFolder folder_{"lumenrail-strangers"};
  Ed25519PrivateKey hostIdentity = Ed25519PrivateKey::generate();
  std::shared_ptr<PairedDevicesStore> store =
      std::make_shared<PairedDevicesStore>(folder_.folder() / "paired-devices.json");
  std::shared_ptr<test::EventLog> askedAbout = std::make_shared<test::EventLog>();
  std::shared_ptr<WireServer> server;
  test::EventLog log;
  test::EventCounter connected;
  test::EventCounter disconnected;
};

TEST_F(WireServerStrangersIntegration, APairedDeviceAndAKeyHolderGetInWhateverUnprovenLinksStrangersHoldAndReopen) {
  const Bytes psk(24, 0x5A);
  // A clock that stands still: no stranger's link ever times out, so only
  // the admission of newcomers can let the owner's devices in.
  startServer(psk, true, [](WireServer::Config& c) { c.nowNs = [] { return uint64_t{0}; }; });
  const uint16_t port = server->boundPort();
  const auto padKey = Ed25519PrivateKey::generate();
  store->pin(padKey.publicKey(), "Pad", std::nullopt, P::DeviceKind::iPad, 1.0);
  const Bytes magic(P::magic.begin(), P::magic.end());
  struct Attack {
    const char* name;
    StrangerCrowd::Opening opening;
  };
  const Attack attacks[] = {
      {"idle links", nullptr},
      {"the magic alone", [&] { return magic; }},
      // The identity key crosses the network in clear: strangers name it.
      {"the paired key named in clear", [&] { return test::pairingHelloNaming(padKey.publicKey()); }},
  };
  uint32_t victim = kVictims;
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.name);
    StrangerCrowd crowd(port, kCrowd, 8, 5, attack.opening);  // 40 links for 16 places, re-opened when dropped
    ASSERT_TRUE(test::eventually([&] { return Peer::unproven(*server) == 16 && crowd.dialled() > 40; }));

    const uint64_t start = uptimeNs();
    PairingClient pad(port, "Pad", true, padKey, victim++);
    ASSERT_TRUE(pairedDeviceServed(pad));
    const double padMs = msSince(start);
    const uint64_t holderStart = uptimeNs();
    PairingClient holder(port, "Holder", true, Ed25519PrivateKey::generate(), victim++);
    ASSERT_TRUE(keyHolderServed(holder, psk));
    std::printf("[strangers: %s] paired device served after %.1f ms, key holder after %.1f ms; %lld links dialled\n",
                attack.name, padMs, msSince(holderStart), static_cast<long long>(crowd.dialled()));
    crowd.stop();
    ASSERT_TRUE(test::eventually([&] { return Peer::unproven(*server) == 0; }));
  }
  EXPECT_EQ(askedAbout->lines().size(), 0u) << "nobody proved a new device";
  EXPECT_TRUE(log.contains("made no progress for 0 ms — closed for a newcomer (fd "));
}

TEST_F(WireServerStrangersIntegration, ANewDeviceGetsItsCodeAndTheOwnersQuestionWhileStrangersPairFromTwoAddresses) {
  startServer(std::nullopt, true);
  const uint16_t port = server->boundPort();
  // Strangers from two addresses: fresh keys that never confirm, and fresh
  // keys that confirm with their own signature, over and over.
  StrangerCrowd crowd(port, kCrowd, 2, 4, [] { return test::pairingHelloNaming(Ed25519PrivateKey::generate().publicKey()); });
  std::atomic<bool> stopping{false};
  std::atomic<int64_t> proofs{0};
  std::vector<std::thread> signers;
  for (uint32_t i = 0; i < 2; ++i) {
    signers.emplace_back([&, from = kCrowd + i] {
      for (int n = 0; n < 100000 && !stopping; ++n) {
        PairingClient stranger(port, "Stranger", true, Ed25519PrivateKey::generate(), from);
        if (stranger.prove()) ++proofs;
        stranger.waitClosed();
      }
    });
  }
  ASSERT_TRUE(test::eventually([&] { return askedAbout->lines().size() >= 4 && crowd.dialled() > 8; }));

  const uint64_t start = uptimeNs();
  PairingClient genuine(port, "Genuine", true, Ed25519PrivateKey::generate(), kVictims);
  const auto sas = genuine.exchangeKeys();
  ASSERT_TRUE(sas) << "the device got no code";
  const double codeMs = msSince(start);
  ASSERT_TRUE(askedAbout->waitFor("Genuine", 20000));
  const double questionMs = msSince(start);
  ASSERT_TRUE(genuine.confirm(true));
  genuine.keyPaired();
  const auto hello = genuine.readSealed();
  ASSERT_TRUE(hello && hello->type == Code::hello);
  std::printf("[strangers pairing from 2 addresses] code after %.1f ms, owner asked after %.1f ms; "
              "%zu questions about strangers, %lld stranger proofs\n",
              codeMs, questionMs, askedAbout->lines().size() - 1, static_cast<long long>(proofs.load()));
  stopping = true;
  crowd.stop();
  for (auto& t : signers) t.join();
  EXPECT_EQ(askedAbout->count("Genuine"), 1);
  EXPECT_TRUE(store->lookup(genuine.publicKey()));
  EXPECT_EQ(store->all().size(), 1u);
}

TEST_F(WireServerStrangersIntegration, ReplaysOfOneFirstRecordGiveWayToAKeyHolderAndNoNetworkPeerKeepsACableOut) {
  const Bytes psk(24, 0x5A);
  startServer(psk, false, [](WireServer::Config& c) {
    c.maxSessions = 6;
    c.maxCableSessions = 2;
  });
  const uint16_t port = server->boundPort();
  // A genuine client's first record, recorded: it opens on every replay.
  const auto keys = WifiKeySchedule::derive(psk, WifiKeySchedule::Role::client, WifiKeySchedule::Flavor::qrPsk);
  const Bytes recorded = WifiRecordSealer(keys.sendKey).seal(Bytes{Code::clientInfo, 1, 0, 0, 0, 'R'});
  StrangerCrowd replays(port, kCrowd, 8, 1, [&] { return recorded; });
  ASSERT_TRUE(test::eventually([&] { return server->clientCount() >= 6 && replays.dialled() > 6; }));

  PairingClient holder(port, "Holder", true, Ed25519PrivateKey::generate(), kVictims);
  ASSERT_TRUE(keyHolderServed(holder, psk));
  ASSERT_TRUE(log.waitFor("began with the same sealed record as others — ended for a newcomer"));
  // The replays go on replacing each other, never the key holder.
  const int64_t dialled = replays.dialled();
  ASSERT_TRUE(test::eventually([&] { return replays.dialled() > dialled + 8; }));
  ASSERT_TRUE(holder.sendSealed(Code::requestIdr));
  ASSERT_TRUE(log.waitFor("RequestIdr ← client"));

  // USB devices have places of their own.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const int before = connected.count();
  server->adopt(pair[0], nullptr);
  auto cable = test::WireTestClient::fromFd(pair[1]);
  ASSERT_TRUE(cable.readUntil(Code::hello));
  EXPECT_TRUE(connected.waitFor(before + 1));
  replays.stop();
}

TEST_F(WireServerStrangersIntegration, LinesAboutConnectionsNotYetServedShareABudgetAndThePairingLinesAreAllKept) {
  auto clock = std::make_shared<std::atomic<uint64_t>>(0);
  startServer(std::nullopt, true, [clock](WireServer::Config& c) {
    c.nowNs = [clock] { return clock->load(); };
    c.preSessionLinesPerWindow = 16;
    c.preSessionWindowNs = 10 * kNsPerSecond;
  });
  const uint16_t port = server->boundPort();
  const Bytes junk{'G', 'E', 'T', ' ', '/'};
  auto refusedOnce = [&](uint32_t from) {
    const int fd = test::connectFrom(port, from);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL), ssize_t(junk.size()));
    uint8_t b;
    EXPECT_LE(::recv(fd, &b, 1, 0), 0) << "refused";
    ::close(fd);
  };
  for (uint32_t i = 0; i < 100; ++i) refusedOnce(kCrowd + i % 8);
  PairingClient genuine(port, "Genuine", true, Ed25519PrivateKey::generate(), kVictims);
  ASSERT_TRUE(pairedDeviceServed(genuine));
  for (uint32_t i = 0; i < 100; ++i) refusedOnce(kCrowd + i % 8);
  EXPECT_EQ(log.count("unpaired client refused"), 16);
  EXPECT_TRUE(log.contains("pairing: new device " + genuine.fingerprint() + ", SAS "));
  EXPECT_TRUE(log.contains("pairing: pinned " + genuine.fingerprint() + " (Genuine)"));
  EXPECT_TRUE(log.contains("client connected"));

  *clock += 10 * kNsPerSecond;
  refusedOnce(kCrowd);
  EXPECT_TRUE(log.waitFor("184 line(s) about connections not yet served not logged"));
  EXPECT_EQ(log.count("unpaired client refused"), 17);
}

}  // namespace
}  // namespace lumenrail

// Many clients come and go against one running server: plain (an adopted
// cable link), sealed with the pre-shared key and paired, some vanishing in
// the middle of a frame. What the server holds for a client must go with it.
//
// LUMENRAIL_SOAK_CYCLES sets the number of cycles (default short, for CI);
// scripts/soak runs the long form.
#include <dirent.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/OneShotEvent.hpp"

#include "platform/Ed25519.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingProtocol.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "support/PairingClient.hpp"
#include "support/StrangerCrowd.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {
namespace {

namespace Code = test::Code;

// AddressSanitizer keeps freed memory in quarantine and ThreadSanitizer keeps
// shadow memory, so resident memory grows by design there; their own checks
// stand in for the count.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeans = false;
#else
constexpr bool kResidentMemoryMeans = true;
#endif

int64_t cycles() {
  const char* value = std::getenv("LUMENRAIL_SOAK_CYCLES");
  const int64_t n = value != nullptr ? std::atoll(value) : 0;
  return n > 0 ? n : 150;
}

int64_t entries(const char* dir) {
  int64_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n - (std::string(dir) == "/proc/self/fd" ? 1 : 0);  // the one opendir holds
}

int64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// Reads a little of what is waiting, then drops the link with a reset, as a
// device does that loses its network in the middle of a frame.
void vanish(int fd) {
  uint8_t some[1024];
  ::recv(fd, some, sizeof some, MSG_DONTWAIT);
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// Key-only and paired links both admitted; the owner allows only new
// devices named "Genuine".
WireServer::Config soakConfig(std::shared_ptr<PairedDevicesStore> store, const Bytes& psk) {
  WireServer::Config config;
  config.port = 0;
  config.hello = test::sampleHello();
  config.psk = psk;
  config.pairing.emplace(Ed25519PrivateKey::generate(), std::move(store),
                         [](const std::string&, const std::string&, const std::string& name) {
                           return name == "Genuine";
                         });
  return config;
}

TEST(WireSoakIntegration, ClientsComingAndGoingLeaveNoDescriptorThreadOrMemoryBehind) {
  test::TempPairingFolder folder{"lumenrail-soak"};
  auto store = std::make_shared<PairedDevicesStore>(folder.folder() / "paired-devices.json");
  const Ed25519PrivateKey device = Ed25519PrivateKey::generate();
  store->pin(device.publicKey(), "Pad", std::nullopt, PairingProtocol::DeviceKind::iPad, 1.0);
  const Bytes psk(24, 0x5a);

  auto server = WireServer::create(soakConfig(store, psk));
  test::EventCounter connected;
  test::EventCounter disconnected;
  WireServer::Hooks hooks;
  hooks.onClientConnected = [&] { connected.add(); };
  hooks.onClientDisconnected = [&](int32_t) { disconnected.add(); };
  server->setHooks(std::move(hooks));
  server->start();
  const Bytes frame(256 * 1024, 0x42);

  int done = 0;
  // A sealed client's first packet, its greeting, and its going.
  const auto greetSealed = [&](test::PairingClient& client, uint8_t mark, const char* kind, int64_t i,
                               bool midFrame) {
    ASSERT_TRUE(client.sendSealed(Code::clientInfo, Bytes{mark}));
    auto hello = client.readSealed();
    ASSERT_TRUE(hello && hello->type == Code::hello) << kind << " cycle " << i;
    ASSERT_TRUE(connected.waitFor(done + 1));
    if (midFrame) {
      server->broadcast(uint64_t(i), true, frame);
      vanish(client.fd());
    }
    client.close();
  };
  // One client: greeted, counted by the server, gone (now and then in the
  // middle of a frame), and forgotten by the server before the next comes.
  const auto cycle = [&](int64_t i) {
    const bool midFrame = i % 4 == 3;
    switch (i % 3) {
      case 0: {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        server->adopt(pair[0], [] {});
        auto client = test::WireTestClient::fromFd(pair[1]);
        ASSERT_TRUE(client.readUntil(Code::hello).has_value()) << "plain cycle " << i;
        ASSERT_TRUE(connected.waitFor(done + 1));
        if (midFrame) {
          server->broadcast(uint64_t(i), true, frame);
          uint8_t some[1024];
          ::recv(client.fd(), some, sizeof some, 0);
        }
        client.close();
        break;
      }
      case 1: {
        test::PairingClient client(server->boundPort());
        client.keyPsk(psk);
        // A first sealed packet ends the server's look for the pairing magic at once.
        greetSealed(client, 'S', "sealed", i, midFrame);
        break;
      }
      default: {
        test::PairingClient client(server->boundPort(), "Pad", true, device);
        ASSERT_TRUE(client.exchangeKeys()) << "paired cycle " << i;
        ASSERT_TRUE(client.confirm(true));
        client.keyPaired();
        // A first sealed packet proves the keys at once, as a client does.
        greetSealed(client, 'P', "paired", i, midFrame);
        break;
      }
    }
    if (HasFatalFailure()) return;
    ++done;
    ASSERT_TRUE(disconnected.waitFor(done)) << "cycle " << i;
  };

  // A first round of each kind, so what is made once per process (thread
  // pools, crypto contexts, allocator arenas) is there before counting.
  for (int64_t i = 0; i < 12; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
  }
  const auto settled = [&](int64_t fds, int64_t threads) {
    return entries("/proc/self/fd") <= fds && entries("/proc/self/task") <= threads;
  };
  ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 0; }));
  const int64_t fds = entries("/proc/self/fd");
  const int64_t threads = entries("/proc/self/task");
  const int64_t rss = residentBytes();

  const int64_t n = cycles();
  for (int64_t i = 12; i < 12 + n; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
  }
  EXPECT_TRUE(test::eventually([&] { return settled(fds, threads); }))
      << "descriptors " << fds << " → " << entries("/proc/self/fd") << ", threads " << threads << " → "
      << entries("/proc/self/task");
  const int64_t grown = residentBytes() - rss;
  std::printf("%lld cycles: resident memory %+lld KiB\n", static_cast<long long>(n),
              static_cast<long long>(grown / 1024));
  if (kResidentMemoryMeans) {
    EXPECT_LT(grown, 16 * 1024 * 1024) << "resident memory grew by " << grown / 1024 << " KiB";
  }
  server->stop();
}

int64_t hostileSeconds() {
  const char* value = std::getenv("LUMENRAIL_HOSTILE_SOAK_SECONDS");
  const int64_t n = value != nullptr ? std::atoll(value) : 0;
  return n > 0 ? n : 3;
}

// Sends what the socket takes now, then waits (at most until `endNs`) for the
// server to close the link; the caller dials again.
void holdUntilClosed(int fd, ByteView bytes, uint64_t endNs) {
  size_t sent = 0;
  for (;;) {
    if (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += size_t(n);
    }
    const uint64_t now = uptimeNs();
    if (now >= endNs) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<uint64_t>(endNs - now, 100 * kNsPerMs) / kNsPerMs)) > 0) {
      uint8_t buf[4096];
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
  }
  ::close(fd);
}

// Every attack of a LAN peer at once against one sealed, pairing server and a
// plaintext one, while a paired client watches the stream: the client is
// served throughout, the owner's devices (paired, key holder, USB, a new one)
// get in again and again, and afterwards the host holds what it held before.
// LUMENRAIL_HOSTILE_SOAK_SECONDS sets the length (short for CI; scripts/soak
// runs a minute).
TEST(WireSoakIntegration, EveryAttackAtOnceLeavesThePairedClientServedAndTheHostWithinItsBounds) {
  test::TempPairingFolder folder{"lumenrail-hostile-soak"};
  auto store = std::make_shared<PairedDevicesStore>(folder.folder() / "paired-devices.json");
  const Ed25519PrivateKey watcher = Ed25519PrivateKey::generate();
  const Ed25519PrivateKey sink = Ed25519PrivateKey::generate();
  store->pin(watcher.publicKey(), "Watcher", std::nullopt, PairingProtocol::DeviceKind::iPad, 1.0);
  store->pin(sink.publicKey(), "Sink", std::nullopt, PairingProtocol::DeviceKind::iPad, 1.0);
  const Bytes psk(24, 0x5a);

  auto server = WireServer::create(soakConfig(store, psk));
  test::EventCounter connected;
  WireServer::Hooks hooks;
  hooks.onClientConnected = [&] { connected.add(); };
  const auto keyframes = std::make_shared<KeyframeRequests>();
  WireServer::recordKeyframes(hooks, keyframes, uptimeNs);
  server->setHooks(hooks);
  server->start();
  WireServer::Config plainConfig;
  plainConfig.port = 0;
  plainConfig.hello = test::sampleHello();
  auto plain = WireServer::create(plainConfig);
  plain->start();
  const uint16_t port = server->boundPort();

  // The paired client that must go on seeing the stream.
  test::PairingClient client(port, "Watcher", true, watcher);
  ASSERT_TRUE(client.exchangeKeys());
  ASSERT_TRUE(client.confirm(true));
  client.keyPaired();
  ASSERT_TRUE(client.sendSealed(Code::clientInfo, Bytes{'W'}));
  ASSERT_TRUE(connected.waitFor(1));
  std::atomic<int64_t> seen{0};
  std::thread watching([&] {
    while (auto p = client.readSealed()) seen += p->type == Code::frame;
  });

  const int64_t threads = entries("/proc/self/task");
  const int64_t fds = entries("/proc/self/fd");
  const int64_t rss = residentBytes();
  const uint64_t endNs = uptimeNs() + uint64_t(hostileSeconds()) * kNsPerSecond;
  const auto running = [&] { return uptimeNs() < endNs; };

  Bytes junk(1 << 20, 0x5a);
  junk[0] = 0x10, junk[1] = 0x00, junk[2] = 0x00, junk[3] = 0x01;  // a 16 MiB record
  const auto keys = WifiKeySchedule::derive(psk, WifiKeySchedule::Role::client, WifiKeySchedule::Flavor::qrPsk);
  Bytes replay = WifiRecordSealer(keys.sendKey).seal(Bytes{Code::requestIdr, 0, 0, 0, 0});
  replay.insert(replay.end(), junk.begin(), junk.end());
  const Bytes magic(PairingProtocol::magic.begin(), PairingProtocol::magic.end());
  const Bytes plainHeader{Code::input, 0x00, 0x00, 0x20, 0x00, 0x01};  // a 2 MiB packet, one byte of it

  // Each attacker dials from its own address, over and over, for the whole run.
  std::vector<std::thread> attackers;
  std::atomic<int64_t> attacks{0};
  const auto attacker = [&](uint32_t from, uint16_t target, ByteView bytes) {
    attackers.emplace_back([&, from, target, bytes] {
      for (int i = 0; i < 100000 && running(); ++i) {
        const int fd = test::connectFrom(target, from);
        if (fd < 0) continue;
        ++attacks;
        holdUntilClosed(fd, bytes, endNs);
      }
    });
  };
  const uint32_t base = 0x7f000020;
  for (uint32_t i = 0; i < 6; ++i) attacker(base + i, port, {});  // idle links
  for (uint32_t i = 0; i < 3; ++i) attacker(base + 6, port, magic);  // the magic, then nothing
  for (uint32_t i = 0; i < 2; ++i) attacker(base + 7, port, junk);  // a 16 MiB record
  for (uint32_t i = 0; i < 2; ++i) attacker(base + 8, port, replay);  // a replayed record, then 16 MiB
  for (uint32_t i = 0; i < 80; ++i) attacker(base + 9 + i / 20, plain->boundPort(), plainHeader);
  // Crowds that hold and re-open links: silent, naming the paired device's
  // key in clear, pairing fresh keys from two addresses, replaying a record
  // that opens and then reading on.
  const Bytes recorded = WifiRecordSealer(keys.sendKey).seal(Bytes{Code::clientInfo, 1, 0, 0, 0, 'R'});
  std::vector<std::unique_ptr<test::StrangerCrowd>> crowds;
  crowds.push_back(std::make_unique<test::StrangerCrowd>(port, base + 16, 8, 3, nullptr));
  crowds.push_back(std::make_unique<test::StrangerCrowd>(
      port, base + 24, 8, 3, [&] { return test::pairingHelloNaming(watcher.publicKey()); }));
  crowds.push_back(std::make_unique<test::StrangerCrowd>(
      port, base + 32, 2, 4, [] { return test::pairingHelloNaming(Ed25519PrivateKey::generate().publicKey()); }));
  crowds.push_back(std::make_unique<test::StrangerCrowd>(port, base + 34, 8, 8, [&] { return recorded; }));

  // The owner's devices dial in turn, each from its own address, and the
  // longest each waited is the measure.
  struct Victim {
    const char* name;
    double worstMs = 0;
    int64_t served = 0, failed = 0;
  };
  Victim victims[4] = {{"paired device"}, {"key holder"}, {"USB device"}, {"new device"}};
  const Ed25519PrivateKey pad = Ed25519PrivateKey::generate();
  store->pin(pad.publicKey(), "Pad", std::nullopt, PairingProtocol::DeviceKind::iPad, 1.0);
  attackers.emplace_back([&] {
    const uint32_t own = 0x7f000090;
    // One dial of victim `kind`: true when it was served.
    const auto dial = [&](int kind, int i) {
      const int before = connected.count();
      switch (kind) {
        case 0: {
          test::PairingClient c(port, "Pad", true, pad, own);
          bool ok = c.exchangeKeys() && c.confirm(true);
          if (ok) c.keyPaired();
          return ok && c.readSealed() && c.sendSealed(Code::clientInfo, Bytes{'P'}) && connected.waitFor(before + 1);
        }
        case 1: {
          test::PairingClient c(port, "Holder", true, Ed25519PrivateKey::generate(), own + 1);
          c.keyPsk(psk);
          return c.sendSealed(Code::clientInfo, Bytes{'K'}) && c.readSealed() && connected.waitFor(before + 1);
        }
        case 2: {
          int pair[2];
          if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
          server->adopt(pair[0], nullptr);
          auto cable = test::WireTestClient::fromFd(pair[1]);
          return cable.readUntil(Code::hello).has_value() && connected.waitFor(before + 1);
        }
        default: {
          test::PairingClient c(port, "Genuine", true, Ed25519PrivateKey::generate(), own + 2,
                                "genuine-" + std::to_string(i));
          bool ok = c.exchangeKeys() && c.confirm(true);
          if (ok) c.keyPaired();
          return ok && c.readSealed().has_value();
        }
      }
    };
    // Each of them dials at least once however short the run, and like a
    // real device dials again when its link is dropped: the wait is until it
    // is served, and a victim not served within 5 s failed.
    for (int i = 0; i < 100000 && (running() || i < 4); ++i) {
      Victim& v = victims[i % 4];
      const uint64_t start = uptimeNs();
      bool ok = false;
      while (!ok && uptimeNs() - start < 5 * kNsPerSecond) ok = dial(i % 4, i);
      const double ms = double(uptimeNs() - start) / double(kNsPerMs);
      (ok ? v.served : v.failed) += 1;
      if (ok) v.worstMs = std::max(v.worstMs, ms);
      OneShotEvent pause;
      pause.waitFor(kNsPerSecond / 4);  // a device dials again in a while, not at once
    }
  });
  // Key exchanges that never confirm.
  attackers.emplace_back([&] {
    for (int i = 0; i < 100000 && running(); ++i) {
      test::PairingClient stranger(port, "Stranger", true, Ed25519PrivateKey::generate(), base + 14);
      if (stranger.exchangeKeys()) ++attacks;
      holdUntilClosed(::dup(stranger.fd()), {}, endNs);
    }
  });
  // A paired device that never reads and floods time syncs and Hello requests.
  attackers.emplace_back([&] {
    for (int i = 0; i < 100000 && running(); ++i) {
      test::PairingClient greedy(port, "Sink", true, sink, base + 15);
      if (!greedy.exchangeKeys() || !greedy.confirm(true)) continue;
      greedy.keyPaired();
      ++attacks;
      while (running() && greedy.sendSealed(Code::timeSync, Bytes(8, 1)) && greedy.sendSealed(Code::requestHello)) {
      }
    }
  });

  // The stream at 30 frames a second, a keyframe each second.
  int64_t sent = 0;
  const Bytes frame(16 * 1024, 0x42);
  OneShotEvent never;
  while (running()) {
    server->broadcast(uint64_t(sent + 1), sent % 30 == 0, frame);
    ++sent;
    keyframes->take(uptimeNs());
    never.waitFor(kNsPerSecond / 30);  // pacing, not synchronisation
  }
  for (auto& t : attackers) t.join();
  crowds.clear();

  ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 1 && plain->clientCount() == 0; }));
  const bool settled = test::eventually(
      [&] { return entries("/proc/self/fd") <= fds && entries("/proc/self/task") <= threads; });
  const int64_t grown = residentBytes() - rss;
  std::printf("hostile soak, %lld s, %lld attacks: threads %lld → %lld, fds %lld → %lld, resident %+lld KiB; "
              "frames %lld sent, %lld seen by the paired client\n",
              static_cast<long long>(hostileSeconds()), static_cast<long long>(attacks.load()),
              static_cast<long long>(threads), static_cast<long long>(entries("/proc/self/task")),
              static_cast<long long>(fds), static_cast<long long>(entries("/proc/self/fd")),
              static_cast<long long>(grown / 1024), static_cast<long long>(sent), static_cast<long long>(seen.load()));
  for (const Victim& v : victims) {
    std::printf("hostile soak: %s served %lld time(s), worst wait %.1f ms, %lld attempt(s) failed\n", v.name,
                static_cast<long long>(v.served), v.worstMs, static_cast<long long>(v.failed));
    EXPECT_GE(v.served, 1) << v.name;
    EXPECT_EQ(v.failed, 0) << v.name;
  }
  EXPECT_TRUE(settled);
  EXPECT_GE(seen.load() * 2, sent) << "the paired client kept its stream";
  if (kResidentMemoryMeans) {
    EXPECT_LT(grown, 96 * 1024 * 1024);
  }
  const uint64_t stopStart = uptimeNs();
  server->stop();
  plain->stop();
  EXPECT_LT(uptimeNs() - stopStart, 5 * kNsPerSecond) << "stop() within its bound";
  watching.join();
}

}  // namespace
}  // namespace lumenrail

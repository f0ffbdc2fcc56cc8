// Many clients come and go against one running server: plain (an adopted
// cable link), sealed with the pre-shared key and paired, some vanishing in
// the middle of a frame. What the server holds for a client must go with it.
//
// LUMENRAIL_SOAK_CYCLES sets the number of cycles (default short, for CI);
// scripts/soak runs the long form.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingProtocol.hpp"
#include "platform/Ed25519.hpp"
#include "support/PairingClient.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {
namespace {

namespace Code = test::Code;

// AddressSanitizer keeps freed memory in quarantine, so resident memory grows
// by design there; its leak check stands in for the count.
#if defined(__SANITIZE_ADDRESS__)
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

TEST(WireSoakIntegration, ClientsComingAndGoingLeaveNoDescriptorThreadOrMemoryBehind) {
  test::TempPairingFolder folder{"lumenrail-soak"};
  auto store = std::make_shared<PairedDevicesStore>(folder.folder() / "paired-devices.json");
  const Ed25519PrivateKey device = Ed25519PrivateKey::generate();
  store->pin(device.publicKey(), "Pad", std::nullopt, PairingProtocol::DeviceKind::iPad, 1.0);
  const Bytes psk(24, 0x5a);

  WireServer::Config config;
  config.port = 0;
  config.hello = test::sampleHello();
  config.psk = psk;
  config.pairing.emplace(Ed25519PrivateKey::generate(), store,
                         [](const std::string&, const std::string&, const std::string&) { return false; });
  auto server = WireServer::create(config);
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

}  // namespace
}  // namespace lumenrail

// The server against peers that flood, stall or whose owner's callbacks fail:
// what it holds stays bounded and one bad session never stops the others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <stdexcept>

#include "support/EventLog.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"
#include "wire/WireServerTestPeer.hpp"

namespace lumenrail {
namespace {

namespace Code = test::Code;
using test::EventCounter;
using test::EventLog;
using test::WireTestClient;
using Peer = WireServerTestPeer;

int64_t residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      int64_t kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 12, '\n');
  }
  return -1;
}

int connectRaw(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

// Sends what the peer takes without blocking; false once it has gone.
bool offer(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return !(n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    sent += static_cast<size_t>(n);
  }
  return true;
}

// The server has closed its end (EOF or reset); reads what is waiting.
bool peerGone(int fd) {
  uint8_t buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) continue;
    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
}

bool closedByPeer(int fd) {
  return test::eventually([&] { return peerGone(fd); });
}

class WireServerHostileIntegration : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : raw) ::close(fd);
    if (server) server->stop();
    if (HasFailure()) {
      for (const auto& line : log.lines()) std::printf("  event: %s\n", line.c_str());
    }
  }

  using Tune = std::function<void(WireServer::Config&, WireServer::Hooks&)>;
  void startServer(std::optional<Bytes> psk, const Tune& tune = {}) {
    WireServer::Config config;
    config.port = 0;
    config.hello = test::sampleHello();
    config.psk = std::move(psk);
    WireServer::Hooks hooks;
    watchServer(config, hooks, log, connected, disconnected);
    if (tune) tune(config, hooks);
    server = WireServer::create(config);
    server->setHooks(std::move(hooks));
    server->start();
  }

  std::shared_ptr<WireServer> server;
  EventLog log;
  EventCounter connected;
  EventCounter disconnected;
  std::vector<int> raw;
};

TEST_F(WireServerHostileIntegration, SealedLinksThatNeverFinishARecordAreFewAndSmall) {
  startServer(Bytes(24, 7));
  const uint16_t port = server->boundPort();
  // Forty links each announce a 16 MiB record and start sending it: none has
  // shown it holds the key, so none may make the server keep it (kept, they
  // would hold over 300 MiB).
  std::vector<uint8_t> junk(8 << 20, 0x5a);
  junk[0] = 0x10, junk[1] = 0x00, junk[2] = 0x00, junk[3] = 0x01;  // 16 MiB + 16
  const int64_t before = residentKiB();
  for (int i = 0; i < 40; ++i) {
    raw.push_back(connectRaw(port));
    offer(raw.back(), junk);
  }
  EXPECT_TRUE(test::eventually([&] { return std::all_of(raw.begin(), raw.end(), peerGone); }));
  EXPECT_LT(residentKiB() - before, 64 * 1024) << "KiB held for links that proved nothing";
  for (int fd : raw) ::close(fd);
  raw.clear();
  ASSERT_TRUE(test::eventually([&] { return disconnected.count() == connected.count(); }));

  // Links that stay silent are counted: the seventeenth is closed at once.
  const int base = connected.count();
  for (int i = 0; i < 16; ++i) raw.push_back(connectRaw(port));
  ASSERT_TRUE(connected.waitFor(base + 16));
  const int late = connectRaw(port);
  raw.push_back(late);
  EXPECT_TRUE(closedByPeer(late));
  EXPECT_TRUE(log.waitFor("16 connection(s) not yet authenticated — refused (fd "));
  // One of them leaving frees its place.
  ::close(raw.front());
  raw.erase(raw.begin());
  ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 15; }));
  raw.push_back(connectRaw(port));
  EXPECT_TRUE(connected.waitFor(base + 17));
}

TEST_F(WireServerHostileIntegration, AThrowingCallbackOrAFailedThreadEndsOnlyThatSession) {
  std::atomic<int> throwsLeft{2};  // the first client's connect and disconnect hooks
  std::atomic<bool> fdClosedInCallback{false};
  startServer(std::nullopt, [&](WireServer::Config&, WireServer::Hooks& s) {
    s.onClientConnected = [&] {
      connected.add();
      if (throwsLeft.fetch_sub(1) > 0) throw std::runtime_error("owner failed");
    };
    s.onClientDisconnected = [&](int32_t fd) {
      if (::fcntl(fd, F_GETFD) == -1) fdClosedInCallback = true;
      disconnected.add();
      if (throwsLeft.fetch_sub(1) > 0) throw std::runtime_error("owner failed again");
    };
  });
  WireTestClient first(server->boundPort());
  ASSERT_TRUE(connected.waitFor(1));
  EXPECT_TRUE(first.waitClosed());
  ASSERT_TRUE(disconnected.waitFor(1));
  EXPECT_TRUE(log.contains("session failed (owner failed) — ending the session (fd "));
  EXPECT_TRUE(log.waitFor("onClientDisconnected failed (owner failed again)"));
  EXPECT_FALSE(fdClosedInCallback);

  // A session thread that cannot be made: that connection only.
  Peer::failThreads(*server, 1);
  WireTestClient refused(server->boundPort());
  EXPECT_TRUE(refused.waitClosed());
  EXPECT_TRUE(log.waitFor("could not start a session thread ("));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  raw.push_back(pair[1]);
  EventCounter closes;
  Peer::failThreads(*server, 1);
  server->adopt(pair[0], [&] { closes.add(); });
  EXPECT_EQ(closes.count(), 1);
  EXPECT_TRUE(closedByPeer(pair[1]));

  // The server goes on: the next client is greeted and stays.
  WireTestClient next(server->boundPort());
  EXPECT_EQ(next.read()->type, Code::hello);
  ASSERT_TRUE(connected.waitFor(2));
  EXPECT_EQ(server->clientCount(), 1);
  EXPECT_EQ(disconnected.count(), 1);

  // Stopped for good: a second start throws rather than listen for nobody.
  server->stop();
  EXPECT_THROW(server->start(), std::logic_error);
  EXPECT_THROW(server->setHooks({}), std::logic_error) << "hooks are fixed once the server has run";
  EXPECT_EQ(server->clientCount(), 0);
}

TEST_F(WireServerHostileIntegration, AVersionRefusalDoesNotHoldTheTimerQueueWhileItsByeWaits) {
  std::shared_ptr<ClientConn> conn;
  std::atomic<int> peek{1};
  EventCounter marked;
  startServer(std::nullopt, [&](WireServer::Config& c, WireServer::Hooks& s) {
    c.versionJudgeDelayMs = 3600 * 1000;
    c.refusedByeWaitNs = 3600 * kNsPerSecond;
    s.onClientMustUpdate = [&](const std::optional<std::string>&) {
      // Runs on the timer queue; the marker runs once the refusal has let go of it.
      Peer::onTimerQueue(*server, [&] {
        uint8_t byte;
        peek = static_cast<int>(::recv(conn->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT));
        marked.add();
      });
    };
  });
  server->setVersionVerdict(1, HostUpdate::required, "2.0");
  WireTestClient c(server->boundPort(), 4096);  // reads nothing from here on
  ASSERT_TRUE(connected.waitFor(1));
  conn = Peer::anyClient(*server);
  ASSERT_TRUE(conn);
  // A frame far larger than the socket buffers: the writer is stuck in it.
  const Bytes huge(16 << 20, 0x11);
  server->broadcast(1, true, huge);
  // Only a frame the writer has taken can hold the Bye back; a queued one is dropped for it.
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(conn->mutex);
    return conn->pending.empty() && conn->frameCount == 0;
  }));
  Peer::onTimerQueue(*server, [&] { Peer::judgeVersion(*server, conn); });
  ASSERT_TRUE(marked.waitFor(1));
  EXPECT_EQ(peek.load(), -1) << "the socket was shut while the timer queue waited for the Bye";
  c.close();
  ASSERT_TRUE(disconnected.waitFor(1));
}

}  // namespace
}  // namespace lumenrail

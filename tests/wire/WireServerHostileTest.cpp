// The server against peers that flood, stall or whose owner's callbacks fail:
// what it holds stays bounded and one bad session never stops the others.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "support/EventLog.hpp"
#include "support/PairingClient.hpp"
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

int64_t entries(const char* dir) {
  int64_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

// The sanitizers' shadow memory and quarantine grow by design: memory bounds
// are checked in the plain build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

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

// Loopback addresses other than 127.0.0.1 stand for other hosts on the LAN.
constexpr uint32_t kAttacker = 0x7f000010;

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
    WireServer::recordKeyframes(hooks, keyframes, config.nowNs);
    hooks.onViewportChanged = [this](const Wire::ViewportRectQ16& viewport) {
      std::lock_guard lock(viewportLock);
      viewport_ = viewport;
    };
    now = config.nowNs;
    server = WireServer::create(config);
    server->setHooks(std::move(hooks));
    server->start();
  }

  // What the server pushed to the encoding side.
  bool takeKeyframe() { return keyframes->take(now()); }
  Wire::ViewportRectQ16 viewport() {
    std::lock_guard lock(viewportLock);
    return viewport_;
  }

  std::shared_ptr<WireServer> server;
  const std::shared_ptr<KeyframeRequests> keyframes = std::make_shared<KeyframeRequests>();
  NowNs now;
  std::mutex viewportLock;
  Wire::ViewportRectQ16 viewport_ = Wire::ViewportRectQ16::full();
  EventLog log;
  EventCounter connected;
  EventCounter disconnected;
  std::vector<int> raw;
};

TEST_F(WireServerHostileIntegration, SealedLinksThatProveNothingAreFewSmallShortLivedAndNoClients) {
  const Bytes psk(24, 7);
  auto clock = std::make_shared<std::atomic<uint64_t>>(0);
  startServer(psk, [clock](WireServer::Config& c, WireServer::Hooks&) {
    c.nowNs = [clock] { return clock->load(); };
  });
  const uint16_t port = server->boundPort();
  // Links announce a 16 MiB record and start sending it: none has shown it
  // holds the key, so none may make the server keep it. Then links replay a
  // genuine client's first record, which opens, and announce the same: a
  // client never sends more than its largest packet, so they are no bigger
  // (unbounded, twenty of them held over 500 MiB).
  std::vector<uint8_t> junk(8 << 20, 0x5a);
  junk[0] = 0x10, junk[1] = 0x00, junk[2] = 0x00, junk[3] = 0x01;  // 16 MiB + 16
  const auto clientKeys = WifiKeySchedule::derive(psk, WifiKeySchedule::Role::client, WifiKeySchedule::Flavor::qrPsk);
  Bytes replayed = WifiRecordSealer(clientKeys.sendKey).seal(Bytes{Code::requestIdr, 0, 0, 0, 0});
  replayed.insert(replayed.end(), junk.begin(), junk.end());
  const int64_t before = residentKiB();
  for (const auto* bytes : {&junk, &replayed}) {
    for (uint32_t i = 0; i < 20; ++i) {
      raw.push_back(test::connectFrom(port, kAttacker + i / 4));
      offer(raw.back(), *bytes);
    }
    EXPECT_TRUE(test::eventually([&] { return std::all_of(raw.begin(), raw.end(), peerGone); }));
    for (int fd : raw) ::close(fd);
    raw.clear();
  }
  if (kMemoryIsMeasurable) {
    EXPECT_LT(residentKiB() - before, 64 * 1024) << "KiB held for links that proved nothing";
  }
  EXPECT_TRUE(log.contains("encrypted record rejected (badRecordLength(16777232))"));
  ASSERT_TRUE(test::eventually([&] { return disconnected.count() == connected.count(); }));

  // A genuine client zooms in; links that stay silent are no clients: they
  // neither reset its zoom, nor ask for a keyframe, nor count.
  test::PairingClient genuine(port);
  genuine.keyPsk(psk);
  ASSERT_TRUE(genuine.readSealed());
  const Wire::ViewportRectQ16 zoom{100, 200, 3000, 4000};
  ASSERT_TRUE(genuine.sendSealed(Code::viewport, Bytes{100, 0, 200, 0, 0xb8, 0x0b, 0xa0, 0x0f}));
  ASSERT_TRUE(test::eventually([&] { return viewport() == zoom; }));
  const int base = connected.count();
  takeKeyframe();
  // One address holds four places: a fifth takes the place of its stalest.
  for (uint32_t i = 0; i < 4; ++i) raw.push_back(test::connectFrom(port, kAttacker));
  ASSERT_TRUE(test::eventually([&] { return Peer::allRead(*server, 4); }));
  raw.push_back(test::connectFrom(port, kAttacker));
  EXPECT_TRUE(closedByPeer(raw[0]));
  ASSERT_TRUE(log.waitFor("made no progress for 0 ms — closed for a newcomer (fd "));
  // Four addresses fill the house; a newcomer from a fifth ages out the
  // stalest of all, and no address holds more than its four.
  for (uint32_t i = 4; i < 16; ++i) raw.push_back(test::connectFrom(port, kAttacker + i / 4));
  ASSERT_TRUE(test::eventually([&] { return Peer::allRead(*server, 16); }));
  raw.push_back(test::connectFrom(port, kAttacker + 9));
  EXPECT_TRUE(closedByPeer(raw[1]));
  ASSERT_TRUE(test::eventually([&] { return Peer::unproven(*server) == 16; }));
  EXPECT_EQ(server->clientCount(), 1);
  EXPECT_EQ(connected.count(), base);
  EXPECT_EQ(viewport(), zoom);
  EXPECT_FALSE(takeKeyframe());

  // Seconds later they are gone, and the places are free again.
  *clock += 6 * kNsPerSecond;
  EXPECT_TRUE(test::eventually([&] { return std::all_of(raw.begin(), raw.end(), peerGone); }));
  EXPECT_TRUE(log.contains("no sealed record within 5000 ms — dropping client (fd "));
  test::PairingClient next(port);
  next.keyPsk(psk);
  ASSERT_TRUE(next.readSealed());
  ASSERT_TRUE(next.sendSealed(Code::requestIdr));
  EXPECT_TRUE(connected.waitFor(base + 1));
  EXPECT_EQ(server->clientCount(), 2);
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
  WireTestClient c(server->boundPort(), 4096);
  ASSERT_TRUE(connected.waitFor(1));
  // Reads nothing after the Advisory, which follows the connect hook and
  // must not be left queued behind the frame below.
  ASSERT_TRUE(c.readUntil(Code::advisory).has_value());
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

TEST_F(WireServerHostileIntegration, PlaintextLinksHoldOnlyWhatArrivedAndTheirSessionsAreCapped) {
  startServer(std::nullopt, [](WireServer::Config& c, WireServer::Hooks&) { c.maxSessions = 48; });
  const uint16_t port = server->boundPort();
  const int64_t threadsBefore = entries("/proc/self/task");
  const int64_t fdsBefore = entries("/proc/self/fd");
  const int64_t before = residentKiB();
  // Each announces the largest legal packet and sends one byte of it
  // (allocated whole, 48 of them held about 100 MiB).
  const std::vector<uint8_t> header{Code::input, 0x00, 0x00, 0x20, 0x00, 0x01};
  for (int i = 0; i < 48; ++i) {
    raw.push_back(connectRaw(port));
    offer(raw.back(), header);
  }
  ASSERT_TRUE(connected.waitFor(48));
  const int late = connectRaw(port);
  raw.push_back(late);
  EXPECT_TRUE(closedByPeer(late));
  EXPECT_TRUE(log.waitFor("48 session(s) running — refused (fd "));
  if (kMemoryIsMeasurable) {
    EXPECT_LT(residentKiB() - before, 32 * 1024) << "KiB held for packets that never came";
  }
  EXPECT_LE(entries("/proc/self/task") - threadsBefore, 2 * 48) << "two threads per session, no more";
  EXPECT_EQ(server->clientCount(), 48);
  for (int fd : raw) ::close(fd);
  raw.clear();
  ASSERT_TRUE(disconnected.waitFor(48));
  EXPECT_TRUE(test::eventually([&] { return entries("/proc/self/fd") <= fdsBefore; }));
  EXPECT_TRUE(test::eventually([&] { return entries("/proc/self/task") <= threadsBefore; }));
}

TEST_F(WireServerHostileIntegration, AClientThatNeverReadsGrowsNeitherTheHostNorTheLogNorEveryonesKeyframes) {
  auto clock = std::make_shared<std::atomic<uint64_t>>(kNsPerSecond);
  EventCounter infos;
  startServer(std::nullopt, [&](WireServer::Config& c, WireServer::Hooks& h) {
    c.nowNs = [clock] { return clock->load(); };
    h.onClientInfo = [&](const std::string&) { infos.add(); };
  });
  WireTestClient slow(server->boundPort(), 4096);
  ASSERT_TRUE(connected.waitFor(1));
  // The Advisory follows the connect hook: read up to it, or it may still
  // wait behind the stuck writer and count as a control packet below.
  ASSERT_TRUE(slow.readUntil(Code::advisory).has_value());
  const auto conn = Peer::anyClient(*server);
  ASSERT_TRUE(conn);
  auto held = [&](auto ClientConn::*field) {
    std::lock_guard lock(conn->mutex);
    return (*conn).*field;
  };
  // Keyframes until its writer is stuck and its queue full: with both ends'
  // buffers small, one frame is more than the socket takes.
  int small = 4096;
  ASSERT_EQ(::setsockopt(conn->fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  // Stuck however slow the machine: the host's 10 s limit on a link that
  // takes nothing would end the session before the test has had its say.
  int noLimit = 0;
  ASSERT_EQ(::setsockopt(conn->fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &noLimit, sizeof noLimit), 0);
  const Bytes frame(256 * 1024, 0x65);
  for (int i = 0; i < 400 && held(&ClientConn::frameCount) < 4; ++i) server->broadcast(1, true, frame);
  ASSERT_EQ(held(&ClientConn::frameCount), 4);
  takeKeyframe();
  // However often it misses frames, it asks for a keyframe at most twice a second.
  int keyframes = 0;
  for (int second = 0; second < 3; ++second) {
    *clock += kNsPerSecond;
    for (int i = 0; i < 30; ++i) {
      server->broadcast(2, i % 10 == 0, frame);
      keyframes += takeKeyframe();
    }
  }
  EXPECT_EQ(keyframes, 3);

  // Time-sync and Hello requests by the ten thousand: replies coalesce, the
  // urgent list keeps the newest, the log hears twenty lines.
  const int64_t before = residentKiB();
  Bytes flood;
  for (int i = 0; i < 10000; ++i) {
    const Bytes sync{Code::timeSync, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes hello{Code::requestHello, 0, 0, 0, 0};
    flood.insert(flood.end(), sync.begin(), sync.end());
    flood.insert(flood.end(), hello.begin(), hello.end());
  }
  for (int round = 0; round < 10; ++round) ASSERT_TRUE(slow.sendRaw(flood));
  ASSERT_TRUE(slow.send(Code::clientInfo, {'x'}));
  ASSERT_TRUE(infos.waitFor(1, 120 * kNsPerSecond));  // 200 000 packets: a sanitizer on a busy machine is slow
  EXPECT_EQ(held(&ClientConn::interleave).size(), size_t(ClientConn::kMaxInterleave));
  EXPECT_LE(held(&ClientConn::controlCount), 2);
  EXPECT_LE(log.count("← client"), 20);
  if (kMemoryIsMeasurable) {
    EXPECT_LT(residentKiB() - before, 16 * 1024);
  }

  // Control messages that cannot replace one another pile up behind the
  // stuck writer: past the bound the session ends and what it held goes with it.
  for (int i = 0; i < ClientConn::kMaxControl + 8; ++i) {
    server->broadcastEncoderConfigApplied(Wire::EncoderConfigRequest::none());
  }
  ASSERT_TRUE(disconnected.waitFor(1));
  EXPECT_TRUE(log.contains("control packets waited — session ended"));
  EXPECT_TRUE(log.contains("line(s) caused by client (fd "));
  EXPECT_TRUE(slow.waitClosed());
}

}  // namespace
}  // namespace lumenrail

// The server end to end over loopback, against the independent test client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "support/EventLog.hpp"
#include "support/PortHolders.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServerTestPeer.hpp"
#include "wire/WireServer.hpp"
#include "wire/WireServerTestPeer.hpp"

namespace lumenrail {
namespace {

namespace Code = test::Code;
using test::EventCounter;
using test::EventLog;
using test::RawBytes;
using test::RawPacket;
using test::WireTestClient;

Wire::HelloParams testHello() { return test::sampleHello(); }

class WireServerIntegration : public ::testing::Test {
 protected:
  void SetUp() override { startServer(); }
  void TearDown() override {
    if (server) server->stop();
    if (HasFailure()) {
      for (const auto& line : log.lines()) std::printf("  event: %s\n", line.c_str());
    }
  }

  using Tune = std::function<void(WireServer::Config&, WireServer::Hooks&)>;
  void startServer(std::optional<Bytes> psk = std::nullopt, uint16_t port = 0, const Tune& tune = {}) {
    WireServer::Config config;
    config.port = port;
    config.hello = testHello();
    config.psk = std::move(psk);
    config.hostAppVersion = "1.0.9";
    config.degradeIntervalNs = 3600 * kNsPerSecond;  // ticks are driven by the tests
    WireServer::Hooks hooks;
    hooks.onEvent = [this](const std::string& l) { log.add(l); };
    hooks.onClientConnected = [this] { connected.add(); };
    hooks.onClientDisconnected = [this](int32_t fd) {
      // The descriptor must still be ours while its departure is handled.
      if (::fcntl(fd, F_GETFD) == -1) fdClosedDuringCallback = true;
      disconnected.add();
    };
    if (tune) tune(config, hooks);
    // The keyframes the server asks for, as the encoding side records them.
    keyframes = std::make_shared<KeyframeRequests>();
    now = config.nowNs;
    WireServer::recordKeyframes(hooks, keyframes, now);
    server = WireServer::create(config);
    server->setHooks(std::move(hooks));
    server->start();
  }

  // A fresh server with hooks (and settings) of the test's own, in place of the fixture's.
  void restartWith(const std::function<void(WireServer::Hooks&)>& tune) {
    server->stop();
    startServer(std::nullopt, 0, [&](WireServer::Config&, WireServer::Hooks& hooks) { tune(hooks); });
  }

  // Connects and reads the greeting: Hello, version report, Advisory.
  // Connects and waits until the session has greeted and been announced.
  WireTestClient connect(int receiveBuffer = 0) {
    const int before = connected.count();
    WireTestClient c(server->boundPort(), receiveBuffer);
    EXPECT_TRUE(connected.waitFor(before + 1));
    EXPECT_EQ(c.read()->type, Code::hello);
    EXPECT_EQ(c.read()->type, Code::peerVersion);
    return c;
  }

  // True once per keyframe the server asked for by now.
  bool takeKeyframe() { return keyframes->take(now()); }

  std::shared_ptr<WireServer> server;
  std::shared_ptr<KeyframeRequests> keyframes;
  NowNs now;
  EventLog log;
  EventCounter connected;
  EventCounter disconnected;
  std::atomic<bool> fdClosedDuringCallback{false};
};

TEST_F(WireServerIntegration, GreetsWithHelloVersionReportAndAdvisory) {
  WireTestClient c(server->boundPort());
  auto hello = c.read();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->type, Code::hello);
  EXPECT_EQ(hello->payload, (RawBytes{2, 0, 2, 0, 0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0, 60, 0, 0, 0, 1, 0, 0, 0,
                                      0x00, 0x1B, 0xB7, 0x00, 0x00, 0xCA, 0x9A, 0x3B, 0, 0, 0, 0}));
  auto version = c.read();
  ASSERT_TRUE(version);
  EXPECT_EQ(version->type, Code::peerVersion);
  EXPECT_EQ(version->payload, (RawBytes{2, 0, 4, 5, '1', '.', '0', '.', '9', 0, 0, 0, 0}));
  auto advisory = c.read();
  ASSERT_TRUE(advisory);
  EXPECT_EQ(advisory->type, Code::advisory);
  EXPECT_EQ(advisory->payload, (RawBytes{1, 3, 8, 0}));
  EXPECT_TRUE(log.contains("listening on 0.0.0.0:"));
  EXPECT_TRUE(log.waitFor("client connected (fd "));
  EXPECT_TRUE(takeKeyframe());  // a new client wants a keyframe
  EXPECT_FALSE(takeKeyframe());
}

TEST_F(WireServerIntegration, LateClientWaitsForAKeyframeThenGetsEveryFrame) {
  WireTestClient c = connect();
  const RawBytes au = {0, 0, 0, 1, 0x41, 0x9A};
  server->broadcast(100, false, au);
  server->broadcast(200, true, au);
  server->broadcast(300, false, au);
  auto first = c.readUntil(Code::frame);
  ASSERT_TRUE(first);
  EXPECT_EQ(test::le64(first->payload, 0), 200u);
  EXPECT_EQ(first->payload[8], 1);
  EXPECT_EQ(RawBytes(first->payload.begin() + 12, first->payload.end()), au);
  auto second = c.readUntil(Code::frame);  // an Advisory may come between
  ASSERT_TRUE(second);
  EXPECT_EQ(test::le64(second->payload, 0), 300u);
  EXPECT_EQ(second->payload[8], 0);
}

TEST_F(WireServerIntegration, RequestIdrAndRequestHelloForceAtMostOneKeyframePerClientPerInterval) {
  auto clock = std::make_shared<std::atomic<uint64_t>>(kNsPerSecond);
  server->stop();
  startServer(std::nullopt, 0, [clock](WireServer::Config& config, WireServer::Hooks&) {
    config.nowNs = [clock] { return clock->load(); };
  });
  WireTestClient c = connect();
  WireTestClient other = connect();
  takeKeyframe();
  // Requests, then RequestHello: its answer means every request before it has been read.
  auto ask = [&](int requests) {
    for (int i = 0; i < requests; ++i) c.send(Code::requestIdr);
    c.send(Code::requestHello, {0xEE});  // payload bytes are ignored
    ASSERT_TRUE(c.readUntil(Code::hello));
    EXPECT_EQ(c.read()->type, Code::peerVersion);
  };
  ask(1);
  EXPECT_TRUE(log.contains("RequestIdr ← client"));
  EXPECT_TRUE(takeKeyframe()) << "one keyframe serves both";
  ask(100);
  EXPECT_FALSE(takeKeyframe()) << "the flood waits for the interval";
  *clock += KeyframeRequests::kClientIntervalNs;
  EXPECT_TRUE(takeKeyframe()) << "deferred, not lost";
  EXPECT_FALSE(takeKeyframe());

  // Another client is not held back, and its keyframe serves the waiting flood too.
  ask(100);
  EXPECT_FALSE(takeKeyframe());
  other.send(Code::requestHello);
  ASSERT_TRUE(other.readUntil(Code::hello));
  EXPECT_TRUE(takeKeyframe());
  *clock += KeyframeRequests::kClientIntervalNs;
  EXPECT_FALSE(takeKeyframe());
}

TEST_F(WireServerIntegration, ChunksOnlyForClientsThatAskAndNumbersFramesInOrder) {
  WireTestClient chunky = connect();
  WireTestClient plain = connect();
  chunky.send(Code::clientCaps, WireTestClient::clientCaps(1));
  ASSERT_TRUE(log.waitFor("ClientCaps ← client: 0x1 (chunk)"));
  RawBytes big(40000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  server->broadcast(1, true, big);
  server->broadcast(2, false, RawBytes(10, 0x33));

  RawBytes joined;
  uint32_t total = 0;
  std::vector<uint32_t> offsets;
  auto chunk = chunky.readUntil(Code::frameChunk);
  for (;;) {
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->type, Code::frameChunk);
    EXPECT_EQ(test::le32(chunk->payload, 0), 1u);  // frame id
    total = test::le32(chunk->payload, 4);
    offsets.push_back(test::le32(chunk->payload, 8));
    joined.insert(joined.end(), chunk->payload.begin() + 16, chunk->payload.end());
    if (chunk->payload[12] == 1) break;
    chunk = chunky.read();
  }
  EXPECT_EQ(total, 40012u);
  EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 16384, 32768}));
  EXPECT_EQ(RawBytes(joined.begin(), joined.begin() + 12), Wire::framePayload(1, true, {}));
  EXPECT_EQ(RawBytes(joined.begin() + 12, joined.end()), big);
  auto next = chunky.readUntil(Code::frameChunk);
  ASSERT_TRUE(next);
  EXPECT_EQ(test::le32(next->payload, 0), 2u);
  EXPECT_EQ(next->payload[12], 1);

  auto whole = plain.readUntil(Code::frame);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->payload.size(), 40012u);
  EXPECT_TRUE(plain.readUntil(Code::frame));
}

TEST_F(WireServerIntegration, TimeSyncIsAnsweredBetweenTheChunksOfALargeFrame) {
  WireTestClient c = connect(4096);
  c.send(Code::clientCaps, WireTestClient::clientCaps(1));
  ASSERT_TRUE(log.waitFor("(chunk)"));
  server->broadcast(5, true, RawBytes(16 * 1024 * 1024, 0x42));  // far beyond the socket buffers
  // Once a chunk is here the writer is inside the frame, stalled on a full socket.
  std::vector<RawPacket> before;
  ASSERT_TRUE(c.readUntil(Code::frameChunk, &before));
  RawBytes sync;
  test::putLE64(sync, 0x1122334455667788ULL);
  c.send(Code::timeSync, sync);
  c.send(Code::requestIdr);  // read in order: once logged, the reply is queued
  ASSERT_TRUE(log.waitFor("RequestIdr ← client"));
  before.clear();
  auto reply = c.readUntil(Code::timeSync, &before);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->payload.size(), 16u);
  EXPECT_EQ(test::le64(reply->payload, 0), 0x1122334455667788ULL);
  for (const auto& p : before) {
    ASSERT_EQ(p.type, Code::frameChunk);
    EXPECT_EQ(p.payload[12], 0) << "the reply waited for the whole frame";
  }
  auto after = c.read();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->type, Code::frameChunk);
  EXPECT_EQ(after->payload[12], 0);
}

TEST_F(WireServerIntegration, SlowClientOnAPFrameStreamMissesOnlyCountedFramesDecodesThroughAndTheAdvisoryFlips) {
  // The encoder's clock, a frame interval per frame: keyframe pacing is judged on it.
  auto clock = std::make_shared<std::atomic<uint64_t>>(kNsPerSecond);
  server->stop();
  startServer(std::nullopt, 0, [&](WireServer::Config& c, WireServer::Hooks&) {
    c.nowNs = [clock] { return clock->load(); };
  });
  // The slow client is a socket pair that nobody reads at first: unlike
  // loopback TCP its buffer never grows, so its writer soon stays stuck.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  server->adopt(pair[0], nullptr);
  ASSERT_TRUE(connected.waitFor(1));
  WireTestClient slow = WireTestClient::fromFd(pair[1]);
  const auto slowConn = WireServerTestPeer::client(*server, pair[0]);
  ASSERT_TRUE(slowConn);
  std::vector<std::unique_ptr<WireTestClient>> fast;
  for (int i = 0; i < 2; ++i) fast.push_back(std::make_unique<WireTestClient>(connect()));
  std::atomic<int> received[2] = {0, 0};
  std::atomic<int> advisoryFlags[2] = {-1, -1};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&, i] {
      while (auto p = fast[i]->read(20000)) {
        if (p->type == Code::frame) ++received[i];
        if (p->type == Code::advisory) advisoryFlags[i] = p->payload[3];
      }
    });
  }
  struct JoinReaders {
    std::vector<std::unique_ptr<WireTestClient>>& clients;
    std::vector<std::thread>& threads;
    ~JoinReaders() {
      for (auto& c : clients) ::shutdown(c->fd(), SHUT_RDWR);
      for (auto& t : threads) t.join();
    }
  } joinReaders{fast, readers};

  // One frame interval of a zero-latency encoder: a keyframe only when asked
  // for, dependent frames otherwise. The fast clients take each frame before
  // the next, so only the slow one can fall behind.
  constexpr int kFps = 60;
  int sent = 0;
  std::vector<int> keyframes;
  auto encodeOne = [&] {
    *clock += kNsPerSecond / kFps;
    ++sent;
    const bool key = takeKeyframe();
    if (key) keyframes.push_back(sent);
    server->broadcast(uint64_t(sent), key, RawBytes(key ? 48 * 1024 : 12 * 1024, uint8_t(sent)));
    return test::eventually([&] { return received[0] >= sent && received[1] >= sent; });
  };
  auto slowDropped = [&] {
    std::lock_guard lock(slowConn->mutex);
    return slowConn->dropped;
  };

  // Three seconds of a client that reads nothing.
  int firstLoss = 0;
  for (int second = 0; second < 3; ++second) {
    for (int i = 0; i < kFps; ++i) {
      ASSERT_TRUE(encodeOne());
      if (!firstLoss && slowDropped() > 0) firstLoss = sent;
    }
    server->degradeTick();
  }
  ASSERT_EQ(keyframes.front(), 1);
  ASSERT_GT(firstLoss, 0);
  // Its first loss is answered by the next frame; later ones at most twice a second.
  EXPECT_TRUE(std::find(keyframes.begin(), keyframes.end(), firstLoss + 1) != keyframes.end());
  EXPECT_LE(keyframes.size(), size_t(1 + 3 * 2 + 1));
  EXPECT_TRUE(log.contains("ADVISORY: encode/latency degradation detected ("));
  EXPECT_TRUE(server->encodeDegraded());
  ASSERT_TRUE(test::eventually([&] { return advisoryFlags[0] == 3 && advisoryFlags[1] == 3; }));

  // It reads again. Every frame it gets follows the one before it or is a
  // keyframe: whatever it missed, it never gets a frame it cannot decode.
  std::atomic<int> slowFrames{0};
  std::atomic<bool> undecodable{false};
  std::thread slowReader([&] {
    int64_t last = -1;
    while (auto p = slow.read(20000)) {
      if (p->type == Code::encoderConfigApplied) break;  // the test's end mark
      if (p->type != Code::frame) continue;
      const auto ticks = int64_t(test::le64(p->payload, 0));
      const bool key = p->payload[8] == 1;
      if (!key && ticks != last + 1) undecodable = true;
      last = ticks;
      ++slowFrames;
    }
  });
  struct JoinSlow {
    std::thread& t;
    WireTestClient& c;
    ~JoinSlow() {
      if (t.joinable()) {
        ::shutdown(c.fd(), SHUT_RDWR);
        t.join();
      }
    }
  } joinSlow{slowReader, slow};
  auto slowQueueEmpty = [&] {
    std::lock_guard lock(slowConn->mutex);
    return slowConn->frameCount == 0;
  };
  // Paced so it keeps up: what it still misses is the wait for its keyframe.
  for (int second = 0; second < 4; ++second) {
    for (int i = 0; i < kFps; ++i) {
      ASSERT_TRUE(test::eventually(slowQueueEmpty));
      ASSERT_TRUE(encodeOne());
    }
    server->degradeTick();
  }
  EXPECT_TRUE(log.contains("ADVISORY: encode/latency recovered — flags bit1 cleared"));
  ASSERT_TRUE(test::eventually([&] { return advisoryFlags[0] == 1 && advisoryFlags[1] == 1; }));

  server->broadcastEncoderConfigApplied(Wire::EncoderConfigRequest::none());
  slowReader.join();
  EXPECT_FALSE(undecodable);
  // The count said on departure is exactly what it missed.
  slow.close();
  EXPECT_TRUE(log.waitFor("dropped " + std::to_string(sent - slowFrames) + " frame(s) under backpressure"));
}

// While the capture is down every client, also one that comes meanwhile or
// after all others left, reads the degraded flag, whatever the evictions say;
// it clears once the capture is back and nothing else holds it.
TEST_F(WireServerIntegration, ACaptureOutageHoldsTheDegradedFlagForEveryClientUntilItEnds) {
  const auto flags = [](WireTestClient& c) {
    const auto p = c.readUntil(Code::advisory);
    return p ? int(p->payload[3]) : -1;
  };
  server->setCaptureDown(true);
  {
    WireTestClient early = connect();
    EXPECT_EQ(flags(early), 2);
  }
  ASSERT_TRUE(disconnected.waitFor(1));  // the last client left: the evictions' verdict is reset
  WireTestClient watching = connect();
  EXPECT_EQ(flags(watching), 2);
  WireServerTestPeer::evictionVerdict(*server, true);
  WireServerTestPeer::evictionVerdict(*server, false);
  server->setCaptureDown(false);
  EXPECT_EQ(flags(watching), 0) << "the flag changed more than once";
  WireServerTestPeer::evictionVerdict(*server, true);
  server->setCaptureDown(true);
  server->setCaptureDown(false);
  EXPECT_EQ(flags(watching), 2);
  EXPECT_TRUE(server->encodeDegraded()) << "the evictions' verdict still stands";
}

TEST_F(WireServerIntegration, AStalledClientGetsOnlyTheNewestOfWhatIsReplacedAndTheReportAfterItsLastHello) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  server->adopt(pair[0], nullptr);
  ASSERT_TRUE(connected.waitFor(1));
  WireTestClient stalled = WireTestClient::fromFd(pair[1]);
  ASSERT_TRUE(stalled.readUntil(Code::advisory));
  // A frame larger than the socket takes: nothing after it leaves until the
  // client reads. Its writer holds it, so even the advisory, which overtakes
  // queued frames, comes after it.
  const auto stalledConn = WireServerTestPeer::anyClient(*server);
  ASSERT_TRUE(stalledConn);
  server->broadcast(1, true, RawBytes(1024 * 1024, 0x65));
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(stalledConn->mutex);
    return stalledConn->frameCount == 0;
  }));
  for (int i = 0; i < 2; ++i) {
    WireTestClient passing = connect();
    passing.close();
    ASSERT_TRUE(disconnected.waitFor(i + 1));
  }
  // Another client pinch-zooms: every frame announces its viewport.
  Wire::ViewportRectQ16 last;
  for (uint16_t i = 0; i < 5000; ++i) {
    last = {uint16_t(i % 1000), uint16_t(i / 5), 30000, 20000};
    server->broadcastViewportApplied(last);
    if (i % 10 == 0) server->broadcastForegroundApp(i % 20 ? "Mail" : "Notes");
  }
  const auto helloA = test::sampleHello(1280, 720, 60);
  const auto helloB = test::sampleHello(1920, 1080, 30);
  server->rebroadcastHello(helloA);
  server->rebroadcastHello(helloB);
  server->rebroadcastHello(helloA);
  server->broadcastEncoderConfigApplied(Wire::EncoderConfigRequest::none());
  EXPECT_EQ(server->clientCount(), 1);

  std::vector<RawPacket> got;
  ASSERT_TRUE(stalled.readUntil(Code::encoderConfigApplied, &got));
  std::vector<uint8_t> types;
  for (const auto& p : got) types.push_back(p.type);
  // Each replaced kind stands where its newest was queued; every Hello stays, the report after the last.
  EXPECT_EQ(types, (std::vector<uint8_t>{Code::frame, Code::advisory, Code::foregroundApp, Code::viewportApplied,
                                         Code::hello, Code::hello, Code::hello, Code::peerVersion}));
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[1].payload, (RawBytes{1, 3, 8, 0}));  // as the last departure left it
  const auto payloadOf = [](const Bytes& packet) { return RawBytes(packet.begin() + Wire::headerSize, packet.end()); };
  EXPECT_EQ(got[2].payload, payloadOf(*Wire::foregroundApp("Mail")));
  EXPECT_EQ(got[3].payload, payloadOf(Wire::viewportApplied(last)));
  EXPECT_EQ(got[4].payload, payloadOf(Wire::hello(helloA)));
  EXPECT_EQ(got[5].payload, payloadOf(Wire::hello(helloB)));
  EXPECT_EQ(got[6].payload, payloadOf(Wire::hello(helloA)));
  EXPECT_FALSE(log.contains("control packets waited"));
}

TEST_F(WireServerIntegration, VersionJudgeKeepsGoodAndOldClientsAndEndsSilentOnes) {
  std::vector<std::string> mustUpdate;
  EventCounter modes;
  std::mutex m;
  restartWith([&](WireServer::Hooks& hooks) {
    hooks.onClientMode = [&](const Wire::ClientMode&, int32_t) { modes.add(); };
    hooks.onClientMustUpdate = [&](const std::optional<std::string>& name) {
      std::lock_guard lock(m);
      mustUpdate.push_back(name.value_or("<none>"));
    };
  });
  server->setVersionVerdict(2, HostUpdate::none, "ignored");

  WireTestClient good = connect();
  good.send(Code::peerVersion, WireTestClient::peerVersion(2, 2, "3.1"));
  good.send(Code::clientMode, WireTestClient::clientMode(1280, 800, 60));
  ASSERT_TRUE(modes.waitFor(1));
  EXPECT_TRUE(log.contains("peer version: ios 3.1 level 2"));

  WireTestClient old = connect();
  old.send(Code::peerVersion, WireTestClient::peerVersion(1, 1, "0.9"));
  old.send(Code::clientMode, WireTestClient::clientMode(1280, 800, 60));
  ASSERT_TRUE(modes.waitFor(2));
  EXPECT_TRUE(log.contains("is level 1, below the floor 2 — it shows its own update screen"));

  WireTestClient silent = connect();
  silent.send(Code::clientInfo, RawBytes{'T', 'a', 'b'});
  silent.send(Code::clientMode, WireTestClient::clientMode(1280, 800, 60));
  ASSERT_TRUE(silent.readUntil(Code::bye));
  EXPECT_TRUE(silent.waitClosed());
  EXPECT_EQ(modes.count(), 2);
  EXPECT_TRUE(log.contains("sent no PeerVersion 0x20 and the client floor is 2 — owner told to update the app"));
  {
    std::lock_guard lock(m);
    EXPECT_EQ(mustUpdate, (std::vector<std::string>{"Tab"}));
  }
  good.close();
  old.close();
  server->stop();
}

TEST_F(WireServerIntegration, VersionJudgeTimerEndsASilentClient) {
  EventCounter refused;
  server->stop();
  startServer(std::nullopt, 0, [&](WireServer::Config& config, WireServer::Hooks& hooks) {
    config.versionJudgeDelayMs = 20;
    hooks.onClientMustUpdate = [&](const std::optional<std::string>& name) {
      EXPECT_FALSE(name);
      refused.add();
    };
  });
  server->setVersionVerdict(1, HostUpdate::required, "2.0");
  WireTestClient c(server->boundPort());
  ASSERT_TRUE(refused.waitFor(1));
  std::vector<RawPacket> before;
  ASSERT_TRUE(c.readUntil(Code::bye, &before));
  ASSERT_GE(before.size(), 2u);
  EXPECT_EQ(before[1].payload, (RawBytes{2, 0, 4, 5, '1', '.', '0', '.', '9', 1, 0, 2, 3, '2', '.', '0'}));
  EXPECT_TRUE(c.waitClosed());
  server->stop();
}

TEST_F(WireServerIntegration, StopSaysByeEndsSessionsAndFreesThePort) {
  WireTestClient a = connect();
  WireTestClient b = connect();
  const uint16_t port = server->boundPort();
  server->stop();
  // Every session has been torn down by the time stop() returns.
  EXPECT_EQ(disconnected.count(), 2);
  EXPECT_TRUE(log.contains("BYE (0x09) → 2 client(s) — deliberate stop"));
  EXPECT_TRUE(log.contains("BYE flushed on 2/2 client(s)"));
  EXPECT_TRUE(a.readUntil(Code::bye));
  EXPECT_TRUE(b.readUntil(Code::bye));
  EXPECT_FALSE(fdClosedDuringCallback);
  EXPECT_EQ(test::tcpPortHolders(port).ours, 0) << "a socket of ours still holds port " << port;

  try {
    startServer(std::nullopt, port);  // the same port at once
  } catch (const WireServer::ServerError& e) {
    // The port was the system's pick: on a busy machine another program's
    // outgoing connection can take it in the moment it is free.
    const test::PortHolders holders = test::tcpPortHolders(port);
    if (e.err == EADDRINUSE && holders.ours == 0) {
      GTEST_SKIP() << "port " << port << " was taken by another program between the stop and the rebind ("
                   << holders.others << " socket(s) of others on it now)";
    }
    throw;
  }
  EXPECT_EQ(server->boundPort(), port);
  WireTestClient again = connect();
  EXPECT_EQ(server->clientCount(), 1);
}

// A client that goes on sending after its goodbye: the host must not close
// over its unread bytes, or the reset that follows can wipe the Bye from the
// client's buffer before it is read.
TEST_F(WireServerIntegration, ARefusedClientThatKeepsSendingStillReadsItsByeAndTheEnd) {
  server->stop();
  startServer(std::nullopt, 0, [](WireServer::Config& config, WireServer::Hooks&) {
    config.refusedByeWaitNs = 3600 * kNsPerSecond;  // the client leaves on its own here
  });
  server->setVersionVerdict(2, HostUpdate::none, "");
  WireTestClient c = connect();
  // The refusal comes at the ClientMode; then far more than the socket buffers
  // hold, so it is still arriving when the session ends.
  RawBytes burst = test::framed(Code::clientMode, WireTestClient::clientMode(1280, 800, 60));
  const RawBytes filler = test::framed(0x7E, RawBytes(64 * 1024, 0x5A));
  for (int i = 0; i < 256; ++i) burst.insert(burst.end(), filler.begin(), filler.end());
  EXPECT_TRUE(c.sendRaw(burst)) << "the host stopped reading and reset the link";
  EXPECT_TRUE(c.readUntil(Code::bye));
  EXPECT_TRUE(c.waitClosed()) << "the host shuts its sending side behind the Bye";
  EXPECT_EQ(disconnected.count(), 0) << "the session reads on until the client leaves";
  c.close();
  EXPECT_TRUE(disconnected.waitFor(1));
}

TEST_F(WireServerIntegration, StopGivesEveryClientOneSharedDeadlineForItsBye) {
  auto clock = std::make_shared<std::atomic<uint64_t>>(kNsPerSecond);
  server->stop();
  startServer(std::nullopt, 0, [&](WireServer::Config& config, WireServer::Hooks&) {
    config.nowNs = [clock] { return clock->load(); };
  });
  // Two clients read but stay after the Bye; one reads nothing, so its writer
  // is stuck in a frame larger than every buffer when the Bye is queued.
  WireTestClient stuck = connect(4096);
  const auto stuckConn = WireServerTestPeer::anyClient(*server);
  ASSERT_TRUE(stuckConn);
  std::vector<WireTestClient> staying;
  for (int i = 0; i < 2; ++i) staying.push_back(connect());
  server->broadcast(1, true, RawBytes(16 << 20, 0x11));
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(stuckConn->mutex);
    return stuckConn->frameCount == 0;  // taken by its writer, not waiting to be dropped for the Bye
  }));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    server->stop();
    stopped = true;
  });
  for (auto& c : staying) {
    EXPECT_TRUE(c.readUntil(Code::bye));
    EXPECT_TRUE(c.waitClosed());
  }
  EXPECT_FALSE(stopped) << "stop() did not wait for the deadline on its clock";
  // One deadline for all three, not one after another.
  clock->fetch_add(WireServer::kByeWaitNs);
  EXPECT_TRUE(test::eventually([&] { return stopped.load(); }));
  stopper.join();
  EXPECT_TRUE(log.contains("BYE flushed on 2/3 client(s)"));
  EXPECT_EQ(disconnected.count(), 3);
}

TEST_F(WireServerIntegration, MalformedUnknownAndOversizedPackets) {
  EventCounter caps;
  restartWith([&](WireServer::Hooks& hooks) {
    hooks.onInputCaps = [&](const Wire::InputCaps&, int32_t) { caps.add(); };
  });
  WireTestClient c = connect();
  c.send(0x77, RawBytes(10, 1));                  // unknown: skipped whole
  c.send(Code::inputCaps, RawBytes(7, 0));        // short: ignored silently
  c.send(Code::frame, RawBytes(3, 0));            // host-to-client code: skipped
  c.send(Code::peerVersion, RawBytes{1, 0, 1, 30});  // malformed report
  c.send(Code::requestIdr);
  ASSERT_TRUE(log.waitFor("RequestIdr ← client"));
  EXPECT_EQ(caps.count(), 0);
  EXPECT_TRUE(log.contains("PeerVersion 0x20 ← client (fd "));
  EXPECT_TRUE(log.contains("): malformed (4 bytes), ignored"));

  RawBytes huge{Code::clientInfo};
  test::putLE32(huge, 3u * 1024 * 1024);
  c.sendRaw(huge);
  EXPECT_TRUE(c.waitClosed());
  EXPECT_TRUE(log.waitFor("client packet too large (3145728 bytes, type 0x14) — dropping client (fd "));
  ASSERT_TRUE(disconnected.waitFor(1));

  WireTestClient truncated = connect();
  RawBytes part{Code::clientInfo};
  test::putLE32(part, 100);
  part.insert(part.end(), 10, 'x');
  truncated.sendRaw(part);
  truncated.close();
  ASSERT_TRUE(disconnected.waitFor(2));
  EXPECT_FALSE(log.contains("ClientInfo ← client"));
}

TEST_F(WireServerIntegration, QuickReconnectOnTheSameDescriptorIsANewSession) {
  std::vector<int32_t> gone;
  std::mutex m;
  restartWith([&](WireServer::Hooks& hooks) {
    hooks.onClientDisconnected = [&](int32_t fd) {
      EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "fd closed before its departure was handled";
      std::lock_guard lock(m);
      gone.push_back(fd);
      disconnected.add();
    };
  });
  for (int round = 0; round < 20; ++round) {
    WireTestClient c = connect();
    EXPECT_EQ(server->clientCount(), 1);
    c.close();
    ASSERT_TRUE(disconnected.waitFor(round + 1));
    EXPECT_EQ(server->clientCount(), 0);
  }
  server->stop();  // the callback uses this test's locals
}

TEST_F(WireServerIntegration, MergedWishesAndTheirCallbacks) {
  std::vector<bool> audio, hevc;
  std::vector<Wire::EncoderConfigRequest> encoder;
  std::mutex m;
  restartWith([&](WireServer::Hooks& hooks) {
    hooks.onAudioWantedChanged = [&](bool v) {
      std::lock_guard lock(m);
      audio.push_back(v);
    };
    hooks.onHevcWantedChanged = [&](bool v) {
      std::lock_guard lock(m);
      hevc.push_back(v);
    };
    hooks.onEncoderConfigChanged = [&](const Wire::EncoderConfigRequest& r) {
      std::lock_guard lock(m);
      encoder.push_back(r);
    };
  });
  WireTestClient a = connect();
  WireTestClient b = connect();
  WireTestClient quiet = connect();  // never sends caps: does not count for HEVC
  a.send(Code::clientCaps, WireTestClient::clientCaps(4 | 2 | 8));
  ASSERT_TRUE(log.waitFor("ClientCaps ← client: 0xe (audio:pcm,hevc)"));
  // The callbacks follow the line: wait for them before the next client speaks.
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(m);
    return hevc.size() == 1;
  }));
  EXPECT_TRUE(server->hevcWanted());
  EXPECT_TRUE(server->audioPcmWanted());
  b.send(Code::clientCaps, WireTestClient::clientCaps(2));
  ASSERT_TRUE(log.waitFor("ClientCaps ← client: 0x2 (audio:aac)"));
  EXPECT_FALSE(server->hevcWanted());
  EXPECT_TRUE(server->audioAacWanted());

  a.send(Code::encoderConfig, WireTestClient::encoderConfig(1 | 4, 128, 0, 4000));
  b.send(Code::encoderConfig, WireTestClient::encoderConfig(2 | 4, 0, 30, 6000));
  ASSERT_TRUE(log.waitFor("fps≤30, 6000 kbps"));
  ASSERT_TRUE(log.waitFor("quality 0.50, 4000 kbps"));
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(m);
    return encoder.size() == 2 && audio.size() == 2 && hevc.size() == 2;
  }));
  const auto merged = server->resolvedEncoderConfig();
  EXPECT_EQ(merged.fields, 7);
  EXPECT_FLOAT_EQ(merged.quality, 128.0f / 255.0f);
  EXPECT_EQ(merged.fpsCap, 30);
  EXPECT_EQ(merged.bitrateKbps, 6000);

  a.close();
  ASSERT_TRUE(disconnected.waitFor(1));
  EXPECT_FALSE(server->hevcWanted());
  {
    std::lock_guard lock(m);
    EXPECT_EQ(hevc, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(audio, (std::vector<bool>{true, true, true}));
    ASSERT_EQ(encoder.size(), 3u);
    EXPECT_EQ(encoder.back().bitrateKbps, 6000);
    EXPECT_EQ(encoder.back().fields, 2 | 4);
  }
  // The callbacks write to this test's locals: end every session before they go.
  b.close();
  quiet.close();
  server->stop();
}

TEST_F(WireServerIntegration, AdoptedSocketIsAPlaintextCableSession) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  OneShotEvent closed;
  std::mutex m;
  std::vector<std::pair<std::string, bool>> named;
  restartWith([&](WireServer::Hooks& hooks) {
    hooks.onClientNamed = [&](const std::string& n, bool network) {
      std::lock_guard lock(m);
      named.emplace_back(n, network);
    };
  });
  server->adopt(pair[0], [&] { closed.signal(); });
  WireTestClient c = WireTestClient::fromFd(pair[1]);
  EXPECT_EQ(c.read()->type, Code::hello);
  c.send(Code::clientInfo, RawBytes{'P', 'i', 'x'});
  ASSERT_TRUE(log.waitFor("ClientInfo ← client (fd " + std::to_string(pair[0]) + "): Pix"));
  const auto clients = server->connectedClients();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_FALSE(clients[0].overNetwork);
  EXPECT_EQ(clients[0].name, "Pix");
  c.close();
  ASSERT_TRUE(closed.waitFor(test::kDeadlineNs));
  std::lock_guard lock(m);
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0], std::make_pair(std::string("Pix"), false));
}

TEST(WireServerAdoptOnly, AServerThatNeverListensServesTheConnectionsItAdopts) {
  WireServer::Config config;
  config.port = 0;
  config.hello = testHello();
  auto server = WireServer::create(config);
  EventLog log;
  WireServer::Hooks hooks;
  hooks.onEvent = [&](const std::string& l) { log.add(l); };
  server->setHooks(std::move(hooks));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  server->adopt(pair[0], nullptr);
  EXPECT_THROW(server->setHooks({}), std::logic_error) << "a session may already be calling them";
  WireTestClient c = WireTestClient::fromFd(pair[1]);
  auto hello = c.read();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->type, Code::hello);
  c.send(Code::clientInfo, RawBytes{'U', 'S', 'B'});
  EXPECT_TRUE(log.waitFor(": USB"));
  server->stop();
  EXPECT_TRUE(c.readUntil(Code::bye));
}

}  // namespace
}  // namespace lumenrail

namespace lumenrail {
namespace {

TEST_F(WireServerIntegration, LanesHelloRebroadcastAndAudioRouting) {
  WireTestClient big = connect();
  WireTestClient small = connect();
  // The keyframes wanted at connect time open both queues on the main lane.
  server->broadcast(1, true, RawBytes{1});
  ASSERT_TRUE(big.readUntil(Code::frame));
  ASSERT_TRUE(small.readUntil(Code::frame));

  Wire::HelloParams reduced = testHello();
  reduced.width = 1280;
  reduced.height = 720;
  reduced.frameRateNum = 30;
  takeKeyframe();
  server->setSmallLane(reduced, {});
  EXPECT_FALSE(takeKeyframe()) << "nobody moved";

  // Find the server-side fd of `small` through its name.
  small.send(Code::clientInfo, RawBytes{'s', 'm'});
  ASSERT_TRUE(log.waitFor(": sm"));
  int32_t smallFd = -1;
  for (const auto& c : server->connectedClients()) {
    if (c.name == "sm") smallFd = c.fd;
  }
  ASSERT_GE(smallFd, 0);
  server->setSmallLane(reduced, {smallFd});
  EXPECT_TRUE(takeKeyframe());
  EXPECT_TRUE(log.contains("small lane 1280x720@30 → fd [" + std::to_string(smallFd) + "]"));
  auto hello = small.readUntil(Code::hello);
  ASSERT_TRUE(hello);
  EXPECT_EQ(test::le32(hello->payload, 4), 1280u);
  EXPECT_EQ(small.read()->type, Code::peerVersion);

  server->broadcast(2, false, RawBytes{2}, Lane::small);  // not a keyframe: the moved client waits
  server->broadcast(3, true, RawBytes{3}, Lane::small);
  server->broadcast(4, false, RawBytes{4}, Lane::main);
  auto f = small.readUntil(Code::frame);
  ASSERT_TRUE(f);
  EXPECT_EQ(test::le64(f->payload, 0), 3u);
  f = big.readUntil(Code::frame);
  ASSERT_TRUE(f);
  EXPECT_EQ(test::le64(f->payload, 0), 4u);

  // Audio: PCM only to the client that asked for it, AAC to the other.
  small.send(Code::clientCaps, WireTestClient::clientCaps(2 | 8));
  big.send(Code::clientCaps, WireTestClient::clientCaps(2));
  ASSERT_TRUE(log.waitFor("(audio:pcm)"));
  ASSERT_TRUE(log.waitFor("(audio:aac)"));
  server->broadcastAudio(9, Wire::AudioCodec::pcmS16, false, 2, 48000, RawBytes{0xAA});
  server->broadcastAudio(10, Wire::AudioCodec::aacLC, false, 2, 48000, RawBytes{0xBB});
  auto a = small.readUntil(Code::audio);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->payload[8], 1);  // pcmS16
  a = big.readUntil(Code::audio);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->payload[8], 0);  // aacLC
  EXPECT_EQ(test::le64(a->payload, 0), 10u);

  server->rebroadcastHello(reduced);
  EXPECT_TRUE(log.contains("Hello rebroadcast 1280x720@30 → 2 client(s)"));
  ASSERT_TRUE(big.readUntil(Code::hello));

  server->setSmallLane(std::nullopt, {});
  EXPECT_TRUE(log.contains("small lane removed → fd [" + std::to_string(smallFd) + "] back on the main stream"));
  EXPECT_EQ(server->disconnect("no-such-device"), 0);
  EXPECT_FALSE(log.contains("host disconnected"));
}

}  // namespace
}  // namespace lumenrail

// Send queue, version report and degradation policy without sockets.
#include <gtest/gtest.h>

#include "wire/ClientConn.hpp"
#include "wire/DegradationPolicy.hpp"
#include "wire/PeerVersion.hpp"

namespace lumenrail {
namespace {

SharedPacket pkt(uint8_t tag) { return sharePacket(Bytes{tag}); }

std::vector<uint8_t> drainTags(ClientConn& c) {
  std::vector<uint8_t> tags;
  {
    std::lock_guard lock(c.mutex);
    if (c.pending.empty() && c.interleave.empty() && !c.closed) return tags;
  }
  while (true) {
    {
      std::lock_guard lock(c.mutex);
      if (c.pending.empty() && c.interleave.empty()) break;
    }
    auto w = c.nextWork();
    if (!w) break;
    for (auto& p : w->packets) tags.push_back((*p)[0]);
  }
  return tags;
}

TEST(ClientConnQueue, NewClientGetsNoFrameBeforeAKeyframe) {
  ClientConn c(7, 4, false);
  EXPECT_EQ(c.enqueueFrame({pkt(1)}, false, 10, Lane::main), 0);
  EXPECT_EQ(c.enqueueFrame({pkt(2)}, true, 20, Lane::small), 0);  // wrong lane
  EXPECT_EQ(c.enqueueFrame({pkt(3)}, true, 30, Lane::main), 0);
  EXPECT_EQ(c.enqueueFrame({pkt(4)}, false, 40, Lane::main), 0);
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{3, 4}));
}

TEST(ClientConnQueue, OverflowEvictsTheBrokenChainAndWaitsForTheNextKeyframe) {
  ClientConn c(7, 4, false);
  c.enqueueFrame({pkt(1)}, true, 1, Lane::main);
  c.enqueueControl(pkt(0xC0));
  c.enqueueFrame({pkt(2)}, false, 2, Lane::main);
  c.enqueueFrame({pkt(3)}, false, 3, Lane::main);
  c.enqueueFrame({pkt(4)}, false, 4, Lane::main);
  // The oldest frame goes, and with it every frame that refers to it.
  EXPECT_EQ(c.enqueueFrame({pkt(5)}, false, 5, Lane::main), 4);
  EXPECT_EQ(c.enqueueFrame({pkt(6)}, false, 6, Lane::main), 0);  // still waiting for a keyframe
  EXPECT_EQ(c.enqueueFrame({pkt(7)}, true, 7, Lane::main), 0);
  EXPECT_EQ(c.enqueueFrame({pkt(8)}, false, 8, Lane::main), 0);
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{0xC0, 7, 8}));  // control kept its place
  std::lock_guard lock(c.mutex);
  EXPECT_EQ(c.dropped, 4);
}

TEST(ClientConnQueue, EvictionStopsAtAQueuedKeyframe) {
  ClientConn c(7, 4, false);
  c.enqueueFrame({pkt(1)}, true, 1, Lane::main);
  c.enqueueFrame({pkt(2)}, false, 2, Lane::main);
  c.enqueueFrame({pkt(3)}, true, 3, Lane::main);
  c.enqueueFrame({pkt(4)}, false, 4, Lane::main);
  EXPECT_EQ(c.enqueueFrame({pkt(5)}, false, 5, Lane::main), 2);
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{3, 4, 5}));
}

TEST(ClientConnQueue, AudioKeepsTheNewestSix) {
  ClientConn c(7, 4, false);
  for (uint8_t i = 1; i <= 7; ++i) c.enqueueAudio(pkt(i));
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{2, 3, 4, 5, 6, 7}));
  std::lock_guard lock(c.mutex);
  EXPECT_EQ(c.audioDropped, 1);
}

TEST(ClientConnQueue, InterleaveGoesFirstAndCloseSendingKeepsControl) {
  ClientConn c(7, 4, false);
  c.enqueueFrame({pkt(1)}, true, 1, Lane::main);
  c.enqueueControl(pkt(0xC1));
  c.enqueueAudio(pkt(0xA1));
  c.enqueueInterleave(pkt(0x11));
  c.closeSending(pkt(0x09));
  c.enqueueControl(pkt(0xC2));  // ignored once closed
  auto first = c.nextWork();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->batch);
  EXPECT_EQ((*first->packets[0])[0], 0x11);
  EXPECT_EQ((*c.nextWork()->packets[0])[0], 0xC1);
  EXPECT_EQ((*c.nextWork()->packets[0])[0], 0x09);
  EXPECT_FALSE(c.nextWork());
}

TEST(ClientConnQueue, LaneSwitchDropsFramesQueuesHelloAndWaitsForAKeyframe) {
  ClientConn c(7, 4, false);
  c.enqueueFrame({pkt(1)}, true, 1, Lane::main);
  c.enqueueAudio(pkt(0xA1));
  c.switchLane(Lane::small, pkt(0x01));
  EXPECT_EQ(c.enqueueFrame({pkt(2)}, false, 2, Lane::small), 0);
  c.enqueueFrame({pkt(3)}, true, 3, Lane::small);
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{0xA1, 0x01, 3}));
}

TEST(PeerVersionCodec, EncodesWithAndWithoutTheHostTail) {
  PeerVersion v;
  v.wireLevel = 2;
  v.platform = PeerPlatform::macos;
  v.version = "1.0.9";
  v.minClientLevel = 3;
  v.hostUpdate = HostUpdate::available;
  v.updateVersion = "1.1";
  EXPECT_EQ(v.encode(true), (Bytes{0x20, 16, 0, 0, 0, 2, 0, 4, 5, '1', '.', '0', '.', '9', 3, 0, 1, 3, '1', '.', '1'}));
  EXPECT_EQ(v.encode(false), (Bytes{0x20, 9, 0, 0, 0, 2, 0, 4, 5, '1', '.', '0', '.', '9'}));
  v.wireLevel = 70000;
  v.minClientLevel = -1;
  v.version = std::string(30, 'v');
  v.updateVersion = "\xC3\xA9";  // U+00E9 -> 0x69
  const Bytes b = v.encode(true);
  EXPECT_EQ(b[5], 0xFF);
  EXPECT_EQ(b[6], 0xFF);
  EXPECT_EQ(b[8], 23);
  EXPECT_EQ(Bytes(b.end() - 5, b.end()), (Bytes{0, 0, 1, 1, 0x69}));
}

TEST(PeerVersionCodec, DecodesLenientlyButBounded) {
  auto v = PeerVersion::decode(Bytes{5, 0, 2, 3, 'a', 'b', 0xE3});
  ASSERT_TRUE(v);
  EXPECT_EQ(v->wireLevel, 5);
  EXPECT_EQ(v->platform, PeerPlatform::ios);
  EXPECT_EQ(v->version, "abc");  // masked to 7 bits
  EXPECT_EQ(v->hostUpdate, HostUpdate::none);
  EXPECT_EQ(PeerVersion::decode(Bytes{5, 0, 9, 0, 1, 2, 3})->platform, PeerPlatform::unknown);  // stray bytes
  EXPECT_FALSE(PeerVersion::decode(Bytes{5, 0, 2}));
  Bytes n24 = {1, 0, 1, 24};
  n24.resize(4 + 24, 'x');
  EXPECT_FALSE(PeerVersion::decode(n24));
  EXPECT_FALSE(PeerVersion::decode(Bytes{1, 0, 1, 0, 0, 0, 2, 24}));  // tail length 24
  auto host = PeerVersion::decode(Bytes{2, 0, 4, 1, 'x', 7, 0, 2, 1, 'y', 0xEE});
  ASSERT_TRUE(host);
  EXPECT_EQ(host->minClientLevel, 7);
  EXPECT_EQ(host->hostUpdate, HostUpdate::required);
  EXPECT_EQ(host->updateVersion, "y");
  EXPECT_EQ(PeerVersion::decode(Bytes{1, 0, 1, 0, 0, 0, 9, 0})->hostUpdate, HostUpdate::none);
}

TEST(PeerVersionCodec, SummaryShowsControlBytesSafely) {
  auto v = PeerVersion::decode(Bytes{2, 0, 1, 4, '1', '\n', 0x1B, '2'});
  ASSERT_TRUE(v);
  EXPECT_EQ(v->summary(), "android 1??2 level 2");
  EXPECT_EQ(PeerVersion::levelZero().summary(), "unknown (no version) level 0");
}

TEST(DegradationPolicyTicks, NeedsThreeSecondsInARowEachWay) {
  DegradationPolicy p;
  EXPECT_EQ(p.tick(8), std::nullopt);
  EXPECT_EQ(p.tick(8), std::nullopt);
  EXPECT_EQ(p.tick(7), std::nullopt);
  EXPECT_EQ(p.tick(8), std::nullopt);
  EXPECT_EQ(p.tick(9), std::nullopt);
  EXPECT_EQ(p.tick(100), true);
  EXPECT_EQ(p.tick(0), std::nullopt);
  EXPECT_EQ(p.tick(0), std::nullopt);
  EXPECT_EQ(p.tick(9), std::nullopt);
  EXPECT_EQ(p.tick(0), std::nullopt);
  EXPECT_EQ(p.tick(0), std::nullopt);
  EXPECT_EQ(p.tick(0), false);
  p.tick(8);
  EXPECT_FALSE(p.reset());
  EXPECT_EQ(p, DegradationPolicy{});
}

}  // namespace
}  // namespace lumenrail

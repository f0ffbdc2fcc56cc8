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

using Outcome = ClientConn::FrameOutcome;

TEST(ClientConnQueue, NewClientGetsNoFrameBeforeAKeyframe) {
  ClientConn c(7, 4, false);
  EXPECT_EQ(c.enqueueFrame({pkt(1)}, false, 10, Lane::main), Outcome{});  // nothing lost: it never had a picture
  EXPECT_EQ(c.enqueueFrame({pkt(2)}, true, 20, Lane::small), Outcome{});  // wrong lane
  EXPECT_EQ(c.enqueueFrame({pkt(3)}, true, 30, Lane::main), Outcome{});
  EXPECT_EQ(c.enqueueFrame({pkt(4)}, false, 40, Lane::main), Outcome{});
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{3, 4}));
}

// Frames are tagged with their number; `true` marks a keyframe.
TEST(ClientConnQueue, AFullQueueKeepsWhatStillDecodesAndCountsEveryFrameTheClientMisses) {
  struct Step {
    uint8_t tag;
    bool keyframe;
    Outcome outcome;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<uint8_t> sent;  // 0xC0 is a control packet queued after the first frame
    int64_t dropped;
  };
  const std::vector<Case> cases = {
      {"a dependent frame without a place is missed, and so is each one until a keyframe, which outdates the rest",
       {{1, true, {}}, {2, false, {}}, {3, false, {}}, {4, false, {}},
        {5, false, {1, true}}, {6, false, {1, true}}, {7, true, {4, false}}, {8, false, {}}},
       {0xC0, 7, 8}, 6},
      {"frames before a queued keyframe go, and the frames after it stay",
       {{1, true, {}}, {2, false, {}}, {3, true, {}}, {4, false, {}}, {5, false, {2, false}}},
       {0xC0, 3, 4, 5}, 2},
      {"keyframes alone: the oldest goes",
       {{1, true, {}}, {2, true, {}}, {3, true, {}}, {4, true, {}}, {5, true, {1, false}}},
       {0xC0, 2, 3, 4, 5}, 1},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    ClientConn c(7, 4, false);
    for (size_t i = 0; i < k.steps.size(); ++i) {
      const auto& step = k.steps[i];
      EXPECT_EQ(c.enqueueFrame({pkt(step.tag)}, step.keyframe, step.tag, Lane::main), step.outcome) << int(step.tag);
      if (i == 0) c.enqueueControl(pkt(0xC0));
    }
    EXPECT_EQ(drainTags(c), k.sent);  // control kept its place
    std::lock_guard lock(c.mutex);
    EXPECT_EQ(c.dropped, k.dropped);
  }
}

TEST(ClientConnQueue, ControlOfWhichOnlyTheNewestCountsIsReplacedTheRestMeetsTheBound) {
  ClientConn c(7, 4, false);
  auto control = [](uint8_t type, uint8_t value) { return sharePacket(Bytes{type, value}); };
  const uint8_t viewport = 0x18, advisory = 0x08, foreground = 0x0D, report = 0x20, hello = 0x01, other = 0x1D;
  // Hello A, its report, Hello B, the report again, then A again: the report
  // follows the newest Hello, and A is queued since B is newer.
  c.enqueueControlOnce(control(hello, 0xA));
  c.enqueueControl(control(report, 1));
  c.enqueueFrame({pkt(1)}, true, 1, Lane::main);
  c.enqueueControlOnce(control(hello, 0xB));
  c.enqueueControl(control(report, 1));
  c.enqueueControlOnce(control(hello, 0xA));
  c.enqueueControl(control(report, 1));
  c.enqueueControlOnce(control(hello, 0xA));  // already the newest waiting
  for (int i = 0; i < 3 * ClientConn::kMaxControl; ++i) {
    ASSERT_TRUE(c.enqueueControl(control(viewport, uint8_t(i))));
    ASSERT_TRUE(c.enqueueControl(control(advisory, uint8_t(i))));
    ASSERT_TRUE(c.enqueueControl(control(foreground, uint8_t(i))));
  }
  c.enqueueControl(control(report, 2));
  std::vector<Bytes> sent;
  {
    std::lock_guard lock(c.mutex);
    EXPECT_EQ(c.controlCount, 7);
    for (const auto& e : c.pending) sent.push_back(*e.packets[0]);
  }
  const uint8_t lastValue = uint8_t(3 * ClientConn::kMaxControl - 1);
  EXPECT_EQ(sent, (std::vector<Bytes>{{hello, 0xA}, {1}, {hello, 0xB}, {hello, 0xA}, {viewport, lastValue},
                                      {advisory, lastValue}, {foreground, lastValue}, {report, 2}}));
  for (int i = 7; i < ClientConn::kMaxControl; ++i) ASSERT_TRUE(c.enqueueControl(control(other, 0)));
  EXPECT_FALSE(c.enqueueControl(control(other, 0)));
  std::lock_guard lock(c.mutex);
  EXPECT_TRUE(c.overflowed);
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
  EXPECT_EQ(c.enqueueFrame({pkt(2)}, false, 2, Lane::small), Outcome{});
  c.enqueueFrame({pkt(3)}, true, 3, Lane::small);
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{0xA1, 0x01, 3}));
}

// A frame of `kb` kilobytes whose first byte is its tag.
std::vector<SharedPacket> sized(uint8_t tag, int kb) {
  Bytes b(static_cast<size_t>(kb) * 1000, 0);
  b[0] = tag;
  return {sharePacket(std::move(b))};
}

// At 100 kB/s the frames that wait may take 150 ms of link: 15 kB of them.
TEST(ClientConnQueue, OnASlowLinkTheWaitingFramesFitItsTimeAndTheWriterDropsWhatWouldComeLate) {
  {
    SCOPED_TRACE("frames past the link's time are missed; keyframes neither count nor are held back");
    ClientConn c(7, 4, false);
    c.setLinkRate(100'000);
    EXPECT_EQ(c.enqueueFrame(sized(1, 40), true, 1, Lane::main), Outcome{});
    EXPECT_EQ(c.enqueueFrame(sized(2, 8), false, 2, Lane::main), Outcome{});
    EXPECT_EQ(c.enqueueFrame(sized(3, 6), false, 3, Lane::main), Outcome{});
    EXPECT_EQ(c.enqueueFrame(sized(4, 2), false, 4, Lane::main), (Outcome{1, true}));
    EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{1, 2, 3}));
  }
  {
    SCOPED_TRACE("one frame waits however large; a keyframe outdates a backlog the link has become too slow for");
    ClientConn c(7, 4, false);
    c.enqueueFrame(sized(1, 1), true, 1, Lane::main);
    EXPECT_EQ(c.enqueueFrame(sized(2, 50), false, 2, Lane::main), Outcome{});
    EXPECT_EQ(c.enqueueFrame(sized(3, 50), false, 3, Lane::main), Outcome{});
    c.setLinkRate(100'000);
    EXPECT_EQ(c.enqueueFrame(sized(4, 1), true, 4, Lane::main), (Outcome{3, false}));
    EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{4}));
  }
  {
    SCOPED_TRACE("a frame the writer drops takes the frames after it up to the next keyframe, or the rest");
    ClientConn c(7, 4, false);
    for (uint8_t tag : {1, 2, 3}) c.enqueueFrame({pkt(tag)}, tag == 1, tag, Lane::main);
    c.nextWork();
    c.nextWork();
    c.dropTakenFrame();  // 2; 3 needs it
    EXPECT_EQ(c.enqueueFrame({pkt(4)}, false, 4, Lane::main), (Outcome{3, true}));
    EXPECT_EQ(c.enqueueFrame({pkt(5)}, true, 5, Lane::main), Outcome{});
    c.enqueueFrame({pkt(6)}, false, 6, Lane::main);
    c.enqueueFrame({pkt(7)}, true, 7, Lane::main);
    c.nextWork();
    c.nextWork();
    c.dropTakenFrame();  // 6; keyframe 7 is next
    EXPECT_EQ(c.enqueueFrame({pkt(8)}, false, 8, Lane::main), (Outcome{1, false}));
    EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{7, 8}));
    std::lock_guard lock(c.mutex);
    EXPECT_EQ(c.dropped, 4);
  }
}

TEST(ClientConnQueue, AnUrgentControlPacketOvertakesAllButTheHelloAndItsReport) {
  constexpr uint8_t hello = 0x01, advisory = 0x08, version = 0x20, applied = 0x1D;
  ClientConn c(7, 4, false);
  c.enqueueControl(pkt(hello));
  c.enqueueControl(pkt(version));
  c.enqueueFrame({pkt(1)}, true, 1, Lane::main);
  c.enqueueControl(pkt(applied));
  c.enqueueUrgentControl(pkt(advisory));
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{hello, version, advisory, 1, applied}));
  c.enqueueFrame({pkt(2)}, false, 2, Lane::main);
  c.enqueueAudio(pkt(0xA1));
  c.enqueueUrgentControl(pkt(advisory));
  c.enqueueUrgentControl(pkt(advisory));  // the newer takes the waiting one's place
  EXPECT_EQ(drainTags(c), (std::vector<uint8_t>{advisory, 2, 0xA1}));
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

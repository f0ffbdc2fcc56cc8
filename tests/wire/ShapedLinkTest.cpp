// The stream over a link that the kernel slows down (a token bucket on a veth
// pair between two network namespaces), to a client that decodes every frame.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/EventLog.hpp"
#include "support/NoiseStreamHost.hpp"
#include "support/ShapedLink.hpp"
#include "support/StreamWatcher.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

namespace Code = test::Code;

void print(const char* when, const test::StreamWatcher::Figures& f) {
  std::printf("  %s: %lld frames, %lld clean, %lld undecodable, %lld losses, worst freeze %.0f ms, "
              "age p50 %.0f p90 %.0f max %.0f ms, advisory %s\n",
              when, static_cast<long long>(f.frames), static_cast<long long>(f.decoded),
              static_cast<long long>(f.undecodable), static_cast<long long>(f.losses), f.worstFreezeNs / 1e6,
              f.ageP50Ns / 1e6, f.ageP90Ns / 1e6, f.ageMaxNs / 1e6, f.degradedSeen ? "degraded" : "never degraded");
}

// The client takes frames in chunks, as tablets do, so the advisory and the
// Bye pass between them. How old the frames are, how soon the advisory and
// the Bye come: figures, printed here and measured in ShapedLinkBench.
TEST(ShapedLinkIntegration, AStreamAboveTheLinkRateDegradesRecoversOnKeyframesHealsAtALowerBitRateAndEndsWithABye) {
  std::string whyNot;
  test::ShapedLink::Shape shape;
  shape.rateBitsPerSecond = 2'000'000;
  auto link = test::ShapedLink::make(shape, whyNot);
  if (!link) GTEST_SKIP() << "no shaped link here: " << whyNot;
  test::EventLog log;
  test::NoiseStreamHost host({.bitrateBps = 4'000'000}, [&](const std::string& line) { log.add(line); });
  link->onHostSide([&] { host.start(); });
  const int fd = link->connectClient(host.port());
  ASSERT_GE(fd, 0);
  test::StreamWatcher client(fd, true);

  // Twice what the link carries: frames are lost, and the client still shows
  // every frame it gets, since a keyframe follows each loss.
  const bool lost = test::eventually([&] {
    const auto f = client.figures();
    return f.losses >= 3 && f.decoded >= 30;
  }, 40 * kNsPerSecond);
  if (!lost) {
    print("no loss", client.figures());
    for (const auto& line : log.lines()) std::printf("  event: %s\n", line.c_str());
  }
  ASSERT_TRUE(lost) << "no loss on a link at half the stream's rate";
  EXPECT_TRUE(test::eventually([&] { return client.figures().degradedSeen; }, 20 * kNsPerSecond))
      << "the Advisory never carried the degraded flag under sustained loss";
  const auto congested = client.figures();
  print("at 4 Mbit/s on 2 Mbit/s", congested);
  EXPECT_EQ(congested.undecodable, 0);
  client.restartAges();

  // The client asks for a bit rate the link carries; once what was queued
  // under the old rate has drained, nothing is lost any more.
  ASSERT_TRUE(client.send(Code::encoderConfig, test::WireTestClient::encoderConfig(4, 0, 0, 800)));
  ASSERT_TRUE(test::eventually([&] { return host.bitrateBps() == 800'000; }));
  EXPECT_TRUE(test::eventually([&] { return client.figures().runSinceLoss >= 150; }, 40 * kNsPerSecond))
      << "frames are still lost at 0.8 Mbit/s on a 2 Mbit/s link";
  const auto healed = client.figures();
  print("after asking for 0.8 Mbit/s", healed);
  EXPECT_EQ(healed.undecodable, 0);

  // Stopped at the stream's own rate again, the link full: the client still
  // hears the Bye, not a stream cut off or gone silent.
  ASSERT_TRUE(client.send(Code::encoderConfig, test::WireTestClient::encoderConfig(4, 0, 0, 4000)));
  ASSERT_TRUE(test::eventually([&] { return client.figures().losses > healed.losses; }, 20 * kNsPerSecond));
  const uint64_t stopped = test::StreamWatcher::monotonicNs();
  host.stop();
  ASSERT_TRUE(test::eventually([&] { return client.figures().endAtNs != 0; }));
  const auto ended = client.figures();
  std::printf("  stop on a full link: %s %.0f ms after it began, the stream's end %.0f ms after\n",
              ended.byeSeen ? "Bye" : "no Bye", (double(ended.byeAtNs) - double(stopped)) / 1e6,
              (double(ended.endAtNs) - double(stopped)) / 1e6);
  EXPECT_TRUE(ended.byeSeen);
  EXPECT_TRUE(ended.cleanEnd) << "the stream ended inside a packet";
  if (HasFailure()) {
    for (const auto& line : log.lines()) std::printf("  event: %s\n", line.c_str());
  }
}

}  // namespace
}  // namespace lumenrail

// The clients' wishes cost the stream no more than their newest value, and
// none once their client has left. The settle runs on a clock the test moves.
#include <gtest/gtest.h>

#include "SessionTestRig.hpp"
#include "session/M2Pipeline.hpp"
#include "support/ManualExecutor.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail {
namespace {

using Mode = M2Pipeline::Mode;
using test::Rig;
using test::WireTestClient;

struct WishRig {
  std::shared_ptr<test::ManualExecutor> timers = std::make_shared<test::ManualExecutor>();
  Rig rig{{640, 480, 30}, true, false, [t = timers](M2Pipeline::Config& c) { c.wishTimers = t; }};

  // A client's packets are read in order: the TimeSync reply shows that all
  // sent before it have been handled.
  static void handled(WireTestClient& client) {
    test::RawBytes echo;
    test::putLE64(echo, 7);
    ASSERT_TRUE(client.send(test::Code::timeSync, echo));
    ASSERT_TRUE(client.readUntil(test::Code::timeSync).has_value());
  }
  // The settle passes; the state is read after the wishes were applied.
  M2Pipeline::ReconfigState settle() {
    timers->advance(PendingWishes::kSettleNs);
    return rig.state();
  }
};

test::RawBytes capsBurst(int count, bool firstHevc) {
  test::RawBytes burst;
  for (int i = 0; i < count; ++i) {
    const uint32_t bits = (i % 2 == 0) == firstHevc ? Wire::ClientFeature::hevc : 0;
    const auto packet = test::framed(test::Code::clientCaps, WireTestClient::clientCaps(bits));
    burst.insert(burst.end(), packet.begin(), packet.end());
  }
  return burst;
}

TEST(SessionWishesIntegration, ABurstOfClientCapsCostsOneCodecSwitchAndALeaversBurstNone) {
  WishRig w;
  ASSERT_TRUE(w.rig.start());
  auto a = w.rig.connect();
  // 1001 toggles, sent at once, ending on HEVC.
  ASSERT_TRUE(a.sendRaw(capsBurst(1001, true)));
  WishRig::handled(a);
  EXPECT_EQ(w.rig.state().codec, Wire::Codec::h264);  // gathered, not yet applied
  EXPECT_EQ(w.settle().codec, Wire::Codec::hevc);
  EXPECT_EQ(w.rig.log.count("[m2] codec "), 1);

  // b toggles 1000 times, ending on H.264, and leaves before the settle:
  // its wishes go with it.
  auto b = w.rig.connect();
  ASSERT_TRUE(b.sendRaw(capsBurst(1000, true)));
  WishRig::handled(b);
  b.close();
  ASSERT_TRUE(w.rig.log.waitFor("[wire] client disconnected"));
  EXPECT_EQ(w.settle().codec, Wire::Codec::hevc);
  EXPECT_EQ(w.rig.log.count("[m2] codec "), 1);
}

TEST(SessionWishesIntegration, AnOversizeModeIsServedSmallerAndLeavesWithItsClient) {
  WishRig w;
  ASSERT_TRUE(w.rig.start());
  auto a = w.rig.connect();
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(4096, 4096, 120)));
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(1920, 1080, 60)));
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(4096, 4096, 120)));
  WishRig::handled(a);
  const size_t encoders = w.rig.bank->encoderCount();
  EXPECT_EQ(w.settle().mode, (Mode{2880, 2880, 60}));
  // One rebuild for the newest wish, at the served size.
  ASSERT_EQ(w.rig.bank->encoderCount(), encoders + 1);
  {
    std::lock_guard lock(w.rig.bank->mutex);
    const auto& built = w.rig.bank->startedEncoders.back();
    EXPECT_EQ(built.width, 2880);
    EXPECT_EQ(built.height, 2880);
    EXPECT_EQ(built.fps, 60);
  }
  const int32_t fdA = *w.rig.state().primary;

  // Its client leaves: nobody is left, the stream goes back to the host's own mode.
  a.close();
  ASSERT_TRUE(w.rig.waitState([](const auto& s) { return s.mode == Mode{640, 480, 30}; }));
  EXPECT_TRUE(w.rig.log.contains("[m2] fd " + std::to_string(fdA) +
                                 " asked for 2880x2880@60 and left — back to 640x480@30 (the host's settings)"));
  // The next client is served at that mode, not at the departed one's.
  WireTestClient b(w.rig.pipeline->boundPort());
  const auto hello = b.readUntil(test::Code::hello);
  ASSERT_TRUE(hello.has_value());
  EXPECT_EQ(test::le32(hello->payload, 4), 640u);
  EXPECT_EQ(test::le32(hello->payload, 8), 480u);
}

}  // namespace
}  // namespace lumenrail

// A client's encoder settings live as long as some client asks for them.
#include <gtest/gtest.h>

#include "SessionTestRig.hpp"
#include "session/M2Pipeline.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail {
namespace {

using test::Rig;
using test::WireTestClient;
namespace Field = Wire::EncoderField;

TEST(SessionEncoderSettingsIntegration, SettingsOfAClientThatLeftGoBackToTheStreamsOwn) {
  Rig rig({640, 480, 30});
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  auto b = rig.connect();
  // b asks only for a quality; a caps the rate and the bit rate as well.
  ASSERT_TRUE(b.send(test::Code::encoderConfig, WireTestClient::encoderConfig(Field::quality, 40, 0, 0)));
  // b's wish is in before a's, so the departure below cannot overtake it.
  ASSERT_TRUE(test::eventually([&] {
    const auto live = rig.bank->live();
    return !live.empty() && live.back().quality && *live.back().quality == 40 / 255.0f;
  }));
  ASSERT_TRUE(a.send(test::Code::encoderConfig, WireTestClient::encoderConfig(Field::all, 90, 10, 2000)));
  ASSERT_TRUE(test::eventually([&] {
    const auto live = rig.bank->live();
    return !live.empty() && live.back().fps == 10 && live.back().bitrateBps == 2'000'000;
  }));

  a.close();
  // What b asked for stays; what only a asked for is undone.
  ASSERT_TRUE(test::eventually([&] {
    const auto live = rig.bank->live();
    return !live.empty() && live.back().fps == 30;
  }));
  const auto last = rig.bank->live().back();
  EXPECT_EQ(last.bitrateBps, LaneEncoders::kBitrateBps);
  ASSERT_TRUE(last.quality.has_value());
  EXPECT_FLOAT_EQ(*last.quality, 40 / 255.0f);
  EXPECT_EQ(rig.state().desiredEncoderConfig.fields, Field::quality);
  const auto applied = b.readUntil(test::Code::encoderConfigApplied);
  ASSERT_TRUE(applied);

  // The last one leaving returns the quality too: a newcomer inherits nothing.
  b.close();
  ASSERT_TRUE(test::eventually([&] {
    const auto live = rig.bank->live();
    return live.back().quality && *live.back().quality == 0.75f;
  }));
  EXPECT_EQ(rig.state().desiredEncoderConfig.fields, 0);
}

}  // namespace
}  // namespace lumenrail

#include "desktop/x11/DisplaySleepAssertion.hpp"

#include <gtest/gtest.h>

#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

TEST(DisplaySleepAssertion, WithoutAnXServerNothingIsHeld) {
  DisplaySleepAssertion assertion("Lumenrail is streaming this computer's screen to a device", ":65000");
  EXPECT_FALSE(assertion.acquire());
  EXPECT_FALSE(assertion.isHeld());
  assertion.release();
  EXPECT_FALSE(assertion.isHeld());
}

TEST(DisplaySleepAssertionIntegration, AcquireTwiceThenReleaseOnceLeavesNothingHeld) {
  test::PrivateXServer x{{320, 240, 24}};
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  DisplaySleepAssertion assertion("Lumenrail is streaming this computer's screen to a device", x.display());
  EXPECT_TRUE(assertion.acquire());
  EXPECT_TRUE(assertion.acquire());
  EXPECT_TRUE(assertion.isHeld());
  assertion.release();
  EXPECT_FALSE(assertion.isHeld());
  EXPECT_TRUE(assertion.acquire());
  EXPECT_TRUE(assertion.isHeld());
}

}  // namespace
}  // namespace lumenrail

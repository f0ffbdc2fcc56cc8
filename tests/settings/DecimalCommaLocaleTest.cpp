#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/NumberText.hpp"
#include "settings/QuillmarkLockupPath.hpp"
#include "settings/UpdateChecker.hpp"
#include "support/DecimalCommaLocale.hpp"

namespace lumenrail {
namespace {

// A desktop session may set a locale whose decimal point is ","; numbers in
// the environment and in built-in data are still written with ".".
TEST(DecimalCommaLocale, NumbersAreReadWithAPointWhateverTheLocale) {
  const QuillmarkLockupPath::Lockup inC = QuillmarkLockupPath::make();
  test::DecimalCommaLocale comma;
  if (!comma.active()) GTEST_SKIP() << comma.why();
  // The locale is really in force: the C library now reads a comma.
  ASSERT_EQ(std::strtod("0,5", nullptr), 0.5);

  EXPECT_EQ(parseWholeDouble("0.5"), 0.5);
  EXPECT_EQ(parseWholeDouble("0,5"), std::nullopt);
  EXPECT_EQ(UpdateChecker::parseDelay("0.5"), 0.5);
  EXPECT_EQ(UpdateChecker::parseDelay("0,5"), std::nullopt);
  EXPECT_EQ(UpdateChecker::parseDelay("1e999"), UpdateChecker::kMaxDelaySeconds);

  const auto path = QuillmarkLockupPath::parse("M1.5 2.25");
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->elements().at(0).point.x, 1.5);
  EXPECT_EQ(path->elements().at(0).point.y, 2.25);
  // The word mark is still there.
  EXPECT_EQ(QuillmarkLockupPath::make(), inC);
}

}  // namespace
}  // namespace lumenrail

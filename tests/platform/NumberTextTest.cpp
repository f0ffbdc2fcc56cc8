#include "platform/NumberText.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace lumenrail {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(NumberText, TheWholeTextIsADecimalNumber) {
  const struct {
    const char* text;
    std::optional<double> value;
  } rows[] = {
      {"120", 120.0},       {"+1.5", 1.5},      {"-2", -2.0},       {".5", 0.5},
      {"5.", 5.0},          {"1e2", 100.0},     {"inf", kInf},      {"-Infinity", -kInf},
      {"1e999", kInf},      {"-1e999", -kInf},  {"1e-999", 0.0},    {"", std::nullopt},
      {"+", std::nullopt},  {"+-1", std::nullopt}, {"++1", std::nullopt}, {" 1", std::nullopt},
      {"1 ", std::nullopt}, {"1,5", std::nullopt}, {"0x10", std::nullopt}, {"12Hz", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(parseWholeDouble(row.text), row.value) << row.text;
  const auto nan = parseWholeDouble("nan");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
}

}  // namespace
}  // namespace lumenrail

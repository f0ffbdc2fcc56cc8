#include "RelativeTime.hpp"

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>

#include <cmath>
#include <memory>

namespace lumenrail::RelativeTime {

std::string describe(double secondsSince1970, double nowSeconds) {
  return describe(secondsSince1970, nowSeconds, icu::Locale::getDefault().getName());
}

std::string describe(double secondsSince1970, double nowSeconds, const std::string& localeId) {
  const double delta = secondsSince1970 - nowSeconds;
  const double span = std::fabs(delta);
  struct Step {
    double seconds;
    URelativeDateTimeUnit unit;
  };
  static constexpr Step steps[] = {{365 * 86400.0, UDAT_REL_UNIT_YEAR}, {30 * 86400.0, UDAT_REL_UNIT_MONTH},
                                   {7 * 86400.0, UDAT_REL_UNIT_WEEK},   {86400.0, UDAT_REL_UNIT_DAY},
                                   {3600.0, UDAT_REL_UNIT_HOUR},        {60.0, UDAT_REL_UNIT_MINUTE}};
  double amount = std::trunc(delta);
  URelativeDateTimeUnit unit = UDAT_REL_UNIT_SECOND;
  for (const auto& step : steps) {
    if (span >= step.seconds) {
      amount = std::trunc(delta / step.seconds);
      unit = step.unit;
      break;
    }
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::RelativeDateTimeFormatter formatter(icu::Locale(localeId.c_str()), nullptr, UDAT_STYLE_LONG,
                                           UDISPCTX_CAPITALIZATION_NONE, status);
  if (U_FAILURE(status)) return {};
  icu::UnicodeString out;
  formatter.formatNumeric(amount, unit, out, status);
  if (U_FAILURE(status)) return {};
  std::string text;
  out.toUTF8String(text);
  return text;
}

}  // namespace lumenrail::RelativeTime

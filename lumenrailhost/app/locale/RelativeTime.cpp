#include "app/locale/RelativeTime.hpp"

#include <cmath>

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>

namespace lumenrail::RelativeTime {

std::string format(double then, double now, const std::string& localeId) {
  const double delta = then - now;
  const double size = std::fabs(delta);
  // The largest unit of which at least one whole has passed.
  struct Step {
    double seconds;
    URelativeDateTimeUnit unit;
  };
  static constexpr Step kSteps[] = {{365 * 86400.0, UDAT_REL_UNIT_YEAR}, {30 * 86400.0, UDAT_REL_UNIT_MONTH},
                                    {7 * 86400.0, UDAT_REL_UNIT_WEEK},   {86400.0, UDAT_REL_UNIT_DAY},
                                    {3600.0, UDAT_REL_UNIT_HOUR},        {60.0, UDAT_REL_UNIT_MINUTE}};
  double amount = std::trunc(delta);
  URelativeDateTimeUnit unit = UDAT_REL_UNIT_SECOND;
  for (const auto& step : kSteps) {
    if (size >= step.seconds) {
      amount = std::trunc(delta / step.seconds);
      unit = step.unit;
      break;
    }
  }
  if (!std::isfinite(amount)) amount = 0;
  UErrorCode status = U_ZERO_ERROR;
  icu::RelativeDateTimeFormatter formatter(icu::Locale(localeId.c_str()), nullptr, UDAT_STYLE_LONG,
                                           UDISPCTX_CAPITALIZATION_NONE, status);
  if (U_FAILURE(status)) return {};
  icu::UnicodeString text;
  formatter.formatNumeric(amount, unit, text, status);
  if (U_FAILURE(status)) return {};
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string format(double then, double now) { return format(then, now, icu::Locale::getDefault().getName()); }

}  // namespace lumenrail::RelativeTime

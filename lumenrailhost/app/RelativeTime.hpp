#pragma once

// "3 hours ago", "in 2 days": a moment relative to now in the largest whole
// unit, in full words of the current locale (ICU).

#include <string>

namespace lumenrail::RelativeTime {

std::string describe(double secondsSince1970, double nowSeconds);
std::string describe(double secondsSince1970, double nowSeconds, const std::string& localeId);

}  // namespace lumenrail::RelativeTime

#pragma once

// "2 hours ago", "in 5 minutes": ICU's relative date-time formatter with
// full unit names, in the locale the lookups follow.

#include <string>

namespace lumenrail::RelativeTime {

// The time `then` relative to `now`, both seconds since 1970.
std::string format(double then, double now, const std::string& localeId);
// In the process's locale.
std::string format(double then, double now);

}  // namespace lumenrail::RelativeTime

#pragma once

#include <optional>
#include <string_view>

namespace lumenrail {

// Reads a tuning value from the environment as a floating-point number: the
// whole text must be the number, in the C locale whatever the process locale
// is, with no surrounding white space. "inf" and "nan" parse; callers range-check.
std::optional<double> parseWholeDouble(std::string_view text);

}  // namespace lumenrail

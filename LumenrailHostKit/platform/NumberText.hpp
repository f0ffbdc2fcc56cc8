#pragma once

#include <optional>
#include <string_view>

namespace lumenrail {

// Reads a floating-point number that makes up the whole text: decimal only,
// "." as the decimal point whatever the process locale is, no surrounding
// white space. "inf" and "nan" parse, and so does a number too large for a
// double, as an infinity of its sign; callers range-check.
std::optional<double> parseWholeDouble(std::string_view text);

}  // namespace lumenrail

#pragma once

// The contrast ratio of two colours as the accessibility guidelines reckon it
// (1 to 21; body text wants 4.5, large text and lines 3).

#include <algorithm>
#include <cmath>

#include <QColor>

namespace lumenrail::test {

inline double contrast(const QColor& a, const QColor& b) {
  auto luminance = [](const QColor& c) {
    auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
  };
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace lumenrail::test

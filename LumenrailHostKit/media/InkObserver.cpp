#include "media/InkObserver.hpp"

#include <algorithm>

namespace lumenrail {

std::optional<double> InkObserver::meanLuma(const PixelBuffer& frame, const Config& c) {
  const auto clip = [](int64_t origin, int64_t extent, int64_t side) {
    const int64_t lo = std::clamp<int64_t>(origin, 0, side);
    const int64_t hi = extent <= 0 ? lo : (origin > side - extent ? side : std::max<int64_t>(0, origin + extent));
    return std::pair{lo, std::max(lo, hi)};
  };
  const auto [x0, x1] = clip(c.x, c.width, frame.width());
  const auto [y0, y1] = clip(c.y, c.height, frame.height());
  if (x1 <= x0 || y1 <= y0) return std::nullopt;
  const uint8_t* base = frame.planeData(0);
  if (base == nullptr) return std::nullopt;
  const int64_t stride = frame.bytesPerRow(0);
  double sum = 0;
  for (int64_t y = y0; y < y1; ++y) {
    const uint8_t* row = base + y * stride;
    if (frame.isPlanar()) {
      uint64_t rowSum = 0;
      for (int64_t x = x0; x < x1; ++x) rowSum += row[x];
      sum += double(rowSum);
    } else {
      for (int64_t x = x0; x < x1; ++x) {
        const uint8_t* p = row + x * 4;
        sum += 0.299 * p[2] + 0.587 * p[1] + 0.114 * p[0];
      }
    }
  }
  return sum / double((x1 - x0) * (y1 - y0));
}

bool InkObserver::observe(const PixelBuffer& frame) {
  const std::optional<double> luma = meanLuma(frame, config_);
  if (!luma) return false;
  if (armed_) {
    if (*luma >= config_.brightThreshold) {
      armed_ = false;
      return true;
    }
    return false;
  }
  if (*luma < config_.rearmThreshold) armed_ = true;
  return false;
}

}  // namespace lumenrail

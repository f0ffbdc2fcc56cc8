#include "media/ViewportGeometry.hpp"

#include <algorithm>

namespace lumenrail::ViewportGeometry {

namespace {

struct Span {
  int64_t origin;
  int64_t extent;
};

// Single precision on purpose: clients compute the same rectangles that way.
Span toPixels(uint16_t originQ, uint16_t extentQ, int64_t n) {
  const float side = float(n);
  int64_t origin = int64_t(float(originQ) / 65535.0f * side + 0.5f);
  int64_t extent = int64_t(float(extentQ) / 65535.0f * side + 0.5f);
  extent = std::max(extent, std::min(n, minViewportPx));
  extent = (extent + 1) / 2 * 2;
  extent = std::min(extent, n);
  origin = origin / 2 * 2;
  if (origin + extent > n) origin = (n - extent) / 2 * 2;
  origin = std::max<int64_t>(origin, 0);
  return {origin, extent};
}

uint16_t toQ(int64_t value, int64_t n) {
  const float q = float(value) / float(n) * 65535.0f + 0.5f;
  if (!(q > 0.0f)) return 0;
  if (q >= 65535.0f) return 0xFFFF;
  return uint16_t(q);
}

}  // namespace

PixelRect pixels(const Wire::ViewportRectQ16& viewport, int64_t frameW, int64_t frameH) {
  if (frameW <= 0 || frameH <= 0 || viewport.isFull()) {
    return {0, 0, std::max<int64_t>(frameW, 0), std::max<int64_t>(frameH, 0)};
  }
  const Span x = toPixels(viewport.x, viewport.w, frameW);
  const Span y = toPixels(viewport.y, viewport.h, frameH);
  return {x.origin, y.origin, x.extent, y.extent};
}

Wire::ViewportRectQ16 toQ16(const PixelRect& rect, int64_t frameW, int64_t frameH) {
  if (frameW <= 0 || frameH <= 0 || (rect.x == 0 && rect.y == 0 && rect.width >= frameW && rect.height >= frameH)) {
    return Wire::ViewportRectQ16::full();
  }
  return {toQ(rect.x, frameW), toQ(rect.y, frameH), toQ(rect.width, frameW), toQ(rect.height, frameH)};
}

}  // namespace lumenrail::ViewportGeometry

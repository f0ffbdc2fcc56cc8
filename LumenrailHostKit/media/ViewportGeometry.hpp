#pragma once

#include <cstdint>

#include "wire/Wire.hpp"

namespace lumenrail {

// An integer rectangle in frame pixels, origin top-left.
struct PixelRect {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
  bool operator==(const PixelRect&) const = default;
};

// A client's zoom viewport in 1/65535 of the frame, to pixels and back.
// Pixel rectangles have even origins and sizes (NV12 chroma covers 2x2
// pixels, so an even rectangle keeps its colours exact) and are at least
// `minViewportPx` on each side; on an odd frame side the extent may be that
// odd side.
namespace ViewportGeometry {

inline constexpr int64_t minViewportPx = 16;

PixelRect pixels(const Wire::ViewportRectQ16& viewport, int64_t frameW, int64_t frameH);
Wire::ViewportRectQ16 toQ16(const PixelRect& rect, int64_t frameW, int64_t frameH);

}  // namespace ViewportGeometry

}  // namespace lumenrail

#include "app/controller/PopupPlacement.hpp"

#include <algorithm>

namespace lumenrail::PopupPlacement {

namespace {

Point below(const Rect& anchor, int x, int gap, int width, int height, const Rect& available) {
  const int bottom = available.y + available.height;
  const int right = available.x + available.width;
  int y = anchor.y + anchor.height + gap;
  const int above = anchor.y - gap - height;
  if (y + height > bottom && above >= available.y) y = above;
  // Larger than the area: the top-left corner stays on screen.
  x = std::max(available.x, std::min(x, right - width));
  y = std::max(available.y, std::min(y, bottom - height));
  return {x, y};
}

}  // namespace

Point origin(const Rect& anchor, int width, int height, const Rect& available) {
  return below(anchor, anchor.x + anchor.width / 2 - width / 2, kGap, width, height, available);
}

Point menuOrigin(const Rect& anchor, int width, int height, const Rect& available) {
  return below(anchor, anchor.x, 0, width, height, available);
}

}  // namespace lumenrail::PopupPlacement

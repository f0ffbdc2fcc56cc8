#include "app/controller/PopupPlacement.hpp"

#include <algorithm>

namespace lumenrail::PopupPlacement {

Point origin(const Rect& anchor, int width, int height, const Rect& available) {
  const int bottom = available.y + available.height;
  const int right = available.x + available.width;
  int x = anchor.x + anchor.width / 2 - width / 2;
  int y = anchor.y + anchor.height + kGap;
  const int above = anchor.y - kGap - height;
  if (y + height > bottom && above >= available.y) y = above;
  // A panel larger than the area keeps its top-left corner on screen.
  x = std::max(available.x, std::min(x, right - width));
  y = std::max(available.y, std::min(y, bottom - height));
  return {x, y};
}

}  // namespace lumenrail::PopupPlacement

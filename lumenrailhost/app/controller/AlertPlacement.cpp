#include "app/controller/AlertPlacement.hpp"

#include <cmath>

namespace lumenrail::AlertPlacement {

Point origin(const Rect& available, int width, int height) {
  const double centreX = available.x + available.width / 2.0;
  const double centreY = available.y + available.height / 3.0;
  return {static_cast<int>(std::lround(centreX - width / 2.0)), static_cast<int>(std::lround(centreY - height / 2.0))};
}

}  // namespace lumenrail::AlertPlacement

#include "media/PictureFit.hpp"

#include <cmath>

namespace lumenrail {

namespace {

int64_t evenNearest(double v) { return static_cast<int64_t>(std::llround(v / 2.0)) * 2; }

}  // namespace

PictureRect fitPicture(int64_t pictureW, int64_t pictureH, int64_t frameW, int64_t frameH) {
  const PictureRect whole{0, 0, frameW, frameH};
  if (pictureW < 1 || pictureH < 1 || frameW < 1 || frameH < 1) return whole;
  const double a = double(pictureW) / double(pictureH);
  const double f = double(frameW) / double(frameH);
  PictureRect r = whole;
  if (a < f) {
    r.width = evenNearest(double(frameW) * (a / f));
    if (r.width < 2 || r.width >= frameW) return whole;
    r.x = (frameW - r.width) / 4 * 2;
  } else if (a > f) {
    r.height = evenNearest(double(frameH) * (f / a));
    if (r.height < 2 || r.height >= frameH) return whole;
    r.y = (frameH - r.height) / 4 * 2;
  }
  return r;
}

}  // namespace lumenrail

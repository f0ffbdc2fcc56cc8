#pragma once

#include <cstdint>

namespace lumenrail {

// Where a picture of one aspect ratio goes inside a frame of another: scaled
// to fit, centred, with bars on two sides. The same shares as the pen
// mapper's letterbox (input/PenMapper.cpp), so a contact on the picture lands
// on the display point it shows. Origin and size are even, as 4:2:0 chroma
// needs; a frame whose ratio matches within that rounding is filled whole.
struct PictureRect {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
  bool operator==(const PictureRect&) const = default;
};

PictureRect fitPicture(int64_t pictureW, int64_t pictureH, int64_t frameW, int64_t frameH);

}  // namespace lumenrail

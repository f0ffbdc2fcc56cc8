#include "media/SyntheticFrameSource.hpp"

namespace lumenrail {

SyntheticFrameSource::SyntheticFrameSource(int64_t w, int64_t h)
    : width(w), height(h), pool(PixelBufferPool::make(PixelFormat::bgra, w, h)) {}

PixelBufferRef SyntheticFrameSource::makeFrame(int64_t index) {
  if (!pool) return nullptr;
  PixelBufferRef frame = pool->createBuffer(std::numeric_limits<int64_t>::max());
  if (!frame) return nullptr;
  // Unsigned arithmetic wraps, and its low byte is the value mod 256 for any
  // index, negative or huge.
  const uint64_t shift = uint64_t(index) * 4;
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* p = frame->planeData(0) + y * frame->bytesPerRow(0);
    for (int64_t x = 0; x < width; ++x, p += 4) {
      p[0] = uint8_t(shift + uint64_t(x));
      p[1] = uint8_t(shift + uint64_t(y));
      p[2] = uint8_t(shift + uint64_t(x) + uint64_t(y));
      p[3] = 255;
    }
  }
  return frame;
}

}  // namespace lumenrail

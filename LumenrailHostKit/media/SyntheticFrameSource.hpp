#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "media/PixelBuffer.hpp"
#include "media/PixelBufferPool.hpp"

namespace lumenrail {

// Generated BGRA test frames, a colour gradient that moves with the frame
// index, so the encoder and the wire can run without screen capture.
class SyntheticFrameSource final {
 public:
  // A size PixelBuffer refuses leaves the source without a pool.
  SyntheticFrameSource(int64_t width, int64_t height);

  // B = 4i + x, G = 4i + y, R = 4i + x + y (each mod 256), A = 255;
  // nothing without a pool.
  PixelBufferRef makeFrame(int64_t index);

  const int64_t width;
  const int64_t height;
  const std::shared_ptr<PixelBufferPool> pool;
};

}  // namespace lumenrail

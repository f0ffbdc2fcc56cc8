#pragma once

#include <cstdint>

#include "media/PixelBuffer.hpp"

struct SwsContext;

namespace lumenrail {

// A picture to read: plane pointers into someone's buffer (possibly offset
// into it, for a crop), never copied.
struct PlaneView {
  PixelFormat format = PixelFormat::nv12FullRange;
  int64_t width = 0;
  int64_t height = 0;
  const uint8_t* data[2] = {nullptr, nullptr};
  int64_t bytesPerRow[2] = {0, 0};
};

// The whole picture of a buffer.
PlaneView planeViewOf(const PixelBuffer& buffer);

// Scales a picture into a buffer of the same pixel format with libswscale,
// keeping one context for as long as sizes and format stay the same.
// NV12 is scaled as it is: no range or matrix conversion. One thread at a time.
class PlaneScaler final {
 public:
  PlaneScaler() = default;
  ~PlaneScaler();
  PlaneScaler(const PlaneScaler&) = delete;
  PlaneScaler& operator=(const PlaneScaler&) = delete;

  bool scale(const PlaneView& source, PixelBuffer& out);

 private:
  SwsContext* sws_ = nullptr;
  PixelFormat format_ = PixelFormat::nv12FullRange;
  int64_t srcW_ = 0;
  int64_t srcH_ = 0;
  int64_t dstW_ = 0;
  int64_t dstH_ = 0;
};

}  // namespace lumenrail

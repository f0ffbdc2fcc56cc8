#pragma once

#include <cstdint>
#include <vector>

#include "media/PixelBuffer.hpp"

struct SwsContext;

namespace lumenrail {

// A picture to read: plane pointers into someone's buffer (possibly offset
// into it, for a crop), never copied.
struct PlaneView {
  PixelFormat format = PixelFormat::nv12FullRange;
  int64_t width = 0;
  int64_t height = 0;
  const uint8_t* data[3] = {nullptr, nullptr, nullptr};
  int64_t bytesPerRow[3] = {0, 0, 0};
};

// Where a scaled picture goes: the whole of a buffer, or a rectangle in it.
struct PlaneTarget {
  int64_t width = 0;
  int64_t height = 0;
  uint8_t* data[3] = {nullptr, nullptr, nullptr};
  int64_t bytesPerRow[3] = {0, 0, 0};
};

// The whole picture of a buffer.
PlaneView planeViewOf(const PixelBuffer& buffer);
PlaneTarget planeTargetOf(PixelBuffer& buffer);

// Scales a picture into a buffer of the same pixel format, bilinear, with
// no range or matrix conversion. 4:2:0 goes through libyuv's planar scaler,
// which keeps 0 and 255 (NV12 chroma is split into planes for it: libyuv's
// interleaved scalers round 255 down to 253); BGRA goes through libswscale,
// which keeps them too. One thread at a time; the scratch grows to the
// largest size seen and is then reused.
class PlaneScaler final {
 public:
  PlaneScaler() = default;
  ~PlaneScaler();
  PlaneScaler(const PlaneScaler&) = delete;
  PlaneScaler& operator=(const PlaneScaler&) = delete;

  bool scale(const PlaneView& source, PixelBuffer& out);
  // Into `target`, which holds pictures of the source's format.
  bool scale(const PlaneView& source, const PlaneTarget& target);

 private:
  std::vector<uint8_t> scratch_;
  SwsContext* sws_ = nullptr;
  int64_t swsKey_[4] = {0, 0, 0, 0};
};

}  // namespace lumenrail

#pragma once

#include <cstdint>
#include <memory>

#include "media/PixelBuffer.hpp"
#include "media/PixelBufferPool.hpp"
#include "media/PlaneScaler.hpp"

namespace lumenrail {

// Scales whole frames to another size (the small-lane stream), stretching
// the source over the destination. Output buffers come from a pool of at
// most `kAllocationThreshold` held frames, so a stalled consumer makes the
// scaler fail fast instead of allocating. One thread at a time.
class FrameScaler final {
 public:
  static constexpr int64_t kAllocationThreshold = 8;

  FrameScaler() = default;
  FrameScaler(const FrameScaler&) = delete;
  FrameScaler& operator=(const FrameScaler&) = delete;

  // A new buffer in the source's pixel format; nothing for a size that is
  // not positive, an exhausted pool or a failed scale.
  PixelBufferRef scale(const PixelBufferRef& source, int64_t outW, int64_t outH);

 private:
  PlaneScaler scaler_;
  std::shared_ptr<PixelBufferPool> pool_;
};

// The pool for outW x outH in `format`, reused when both still match.
bool ensurePool(std::shared_ptr<PixelBufferPool>& pool, int64_t width, int64_t height, PixelFormat format);

}  // namespace lumenrail

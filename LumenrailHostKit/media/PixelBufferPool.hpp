#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/PixelBuffer.hpp"

namespace lumenrail {

struct PixelBufferPoolState;

// Recycles buffers of one format and size. A buffer goes back to the pool
// when its last holder lets go; buffers may outlive the pool, and are then
// simply freed. Handing out a recycled buffer allocates nothing: the shared
// reference's bookkeeping block is recycled too. Thread-safe.
class PixelBufferPool final {
 public:
  // Nothing for a size PixelBuffer refuses.
  static std::shared_ptr<PixelBufferPool> make(PixelFormat format, int64_t width, int64_t height);

  PixelBufferPool(const PixelBufferPool&) = delete;
  PixelBufferPool& operator=(const PixelBufferPool&) = delete;

  // A buffer, or nothing while `allocationThreshold` buffers of this pool are
  // still held: that bounds the memory a stalled consumer can pin.
  PixelBufferRef createBuffer(int64_t allocationThreshold);

  PixelFormat format() const { return format_; }
  int64_t width() const { return width_; }
  int64_t height() const { return height_; }
  // Buffers handed out and not yet returned.
  int64_t outstanding() const;

 private:

  PixelBufferPool(PixelFormat format, int64_t width, int64_t height);

  PixelFormat format_;
  int64_t width_;
  int64_t height_;
  std::shared_ptr<PixelBufferPoolState> state_;
};

}  // namespace lumenrail

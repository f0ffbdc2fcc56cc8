#include "media/FrameScaler.hpp"

namespace lumenrail {

bool ensurePool(std::shared_ptr<PixelBufferPool>& pool, int64_t width, int64_t height, PixelFormat format) {
  if (pool && pool->width() == width && pool->height() == height && pool->format() == format) return true;
  pool = PixelBufferPool::make(format, width, height);
  return pool != nullptr;
}

PixelBufferRef FrameScaler::scale(const PixelBufferRef& source, int64_t outW, int64_t outH) {
  if (!source || outW <= 0 || outH <= 0) return nullptr;
  if (!ensurePool(pool_, outW, outH, source->format())) return nullptr;
  PixelBufferRef out = pool_->createBuffer(kAllocationThreshold);
  if (!out || !scaler_.scale(planeViewOf(*source), *out)) return nullptr;
  return out;
}

}  // namespace lumenrail

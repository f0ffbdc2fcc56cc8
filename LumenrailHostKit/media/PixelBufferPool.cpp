#include "media/PixelBufferPool.hpp"

namespace lumenrail {

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(PixelFormat format, int64_t width, int64_t height) {
  if (!pixelFormatFrom(static_cast<uint32_t>(format)) || width < 1 || height < 1 || width > PixelBuffer::kMaxDimension ||
      height > PixelBuffer::kMaxDimension) {
    return nullptr;
  }
  return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(format, width, height));
}

PixelBufferPool::PixelBufferPool(PixelFormat format, int64_t width, int64_t height)
    : format_(format), width_(width), height_(height), state_(std::make_shared<State>()) {}

PixelBufferRef PixelBufferPool::createBuffer(int64_t allocationThreshold) {
  std::unique_ptr<PixelBuffer> buffer;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->outstanding >= allocationThreshold) return nullptr;
    if (!state_->free.empty()) {
      buffer = std::move(state_->free.back());
      state_->free.pop_back();
    }
    ++state_->outstanding;
  }
  if (!buffer) {
    try {
      buffer.reset(new PixelBuffer(format_, width_, height_));
    } catch (...) {
      std::lock_guard lock(state_->mutex);
      --state_->outstanding;
      return nullptr;
    }
  }
  std::weak_ptr<State> weakState = state_;
  return PixelBufferRef(buffer.release(), [weakState](PixelBuffer* returned) {
    std::unique_ptr<PixelBuffer> owned(returned);
    if (auto state = weakState.lock()) {
      std::lock_guard lock(state->mutex);
      --state->outstanding;
      try {
        state->free.push_back(std::move(owned));
      } catch (...) {
        // No room to keep it: the buffer is simply freed.
      }
    }
  });
}

int64_t PixelBufferPool::outstanding() const {
  std::lock_guard lock(state_->mutex);
  return state_->outstanding;
}

}  // namespace lumenrail

#include "media/PixelBufferPool.hpp"

#include <atomic>

namespace lumenrail {

// Free buffers, and the memory of the reference-count blocks that hand them
// out: each block is the same size (one deleter and allocator type), so a
// returned one serves the next buffer.
struct PixelBufferPoolState {
  std::mutex mutex;
  std::vector<std::unique_ptr<PixelBuffer>> free;
  int64_t outstanding = 0;
  size_t made = 0;
  std::vector<void*> blocks;
  size_t blockSize = 0;

  ~PixelBufferPoolState() {
    for (void* b : blocks) ::operator delete(b);
  }
};

namespace {

// Hands the shared reference's block out of the state's cache. It keeps the
// state alive: the last block may be freed after the pool is gone.
template <class T>
struct BlockAllocator {
  using value_type = T;
  std::shared_ptr<PixelBufferPoolState> state;

  explicit BlockAllocator(std::shared_ptr<PixelBufferPoolState> s) : state(std::move(s)) {}
  template <class U>
  BlockAllocator(const BlockAllocator<U>& other) : state(other.state) {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    {
      std::lock_guard lock(state->mutex);
      if (bytes == state->blockSize && !state->blocks.empty()) {
        void* b = state->blocks.back();
        state->blocks.pop_back();
        return static_cast<T*>(b);
      }
    }
    return static_cast<T*>(::operator new(bytes));
  }
  void deallocate(T* p, size_t n) {
    const size_t bytes = n * sizeof(T);
    {
      std::lock_guard lock(state->mutex);
      if (state->blockSize == 0) state->blockSize = bytes;
      if (bytes == state->blockSize && state->blocks.size() < state->blocks.capacity()) {
        state->blocks.push_back(p);
        return;
      }
    }
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const BlockAllocator<U>& other) const {
    return state == other.state;
  }
};

// Enough cached blocks for any threshold the media code uses.
constexpr size_t kCachedBlocks = 64;

}  // namespace

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(PixelFormat format, int64_t width, int64_t height) {
  if (!pixelFormatFrom(static_cast<uint32_t>(format)) || width < 1 || height < 1 || width > PixelBuffer::kMaxDimension ||
      height > PixelBuffer::kMaxDimension) {
    return nullptr;
  }
  return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(format, width, height));
}

PixelBufferPool::PixelBufferPool(PixelFormat format, int64_t width, int64_t height)
    : format_(format), width_(width), height_(height), state_(std::make_shared<PixelBufferPoolState>()) {
  state_->blocks.reserve(kCachedBlocks);
}

PixelBufferRef PixelBufferPool::createBuffer(int64_t allocationThreshold) {
  std::unique_ptr<PixelBuffer> buffer;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->outstanding >= allocationThreshold) return nullptr;
    if (!state_->free.empty()) {
      buffer = std::move(state_->free.back());
      state_->free.pop_back();
    } else {
      try {
        // Room for every buffer made, so a returning one never allocates.
        state_->free.reserve(state_->made + 1);
      } catch (...) {
        return nullptr;
      }
      ++state_->made;
    }
    ++state_->outstanding;
  }
  try {
    if (!buffer) buffer.reset(new PixelBuffer(format_, width_, height_));
    std::weak_ptr<PixelBufferPoolState> weakState = state_;
    PixelBuffer* raw = buffer.get();
    PixelBufferRef ref(
        raw,
        [weakState](PixelBuffer* returned) {
          std::unique_ptr<PixelBuffer> owned(returned);
          if (auto state = weakState.lock()) {
            std::lock_guard lock(state->mutex);
            --state->outstanding;
            // Room was reserved when the buffer was made, so this does not allocate.
            if (state->free.size() < state->free.capacity()) state->free.push_back(std::move(owned));
          }
        },
        BlockAllocator<PixelBuffer>(state_));
    buffer.release();
    return ref;
  } catch (...) {
    std::lock_guard lock(state_->mutex);
    --state_->outstanding;
    return nullptr;
  }
}

int64_t PixelBufferPool::outstanding() const {
  std::lock_guard lock(state_->mutex);
  return state_->outstanding;
}

}  // namespace lumenrail

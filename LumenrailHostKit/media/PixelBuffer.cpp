#include "media/PixelBuffer.hpp"

#include <cstdlib>
#include <new>

namespace lumenrail {

namespace {

int64_t alignUp(int64_t v, int64_t a) { return (v + a - 1) / a * a; }

}  // namespace

std::optional<PixelFormat> pixelFormatFrom(uint32_t code) {
  switch (static_cast<PixelFormat>(code)) {
    case PixelFormat::nv12VideoRange:
    case PixelFormat::nv12FullRange:
    case PixelFormat::bgra:
    case PixelFormat::i420FullRange:
      return static_cast<PixelFormat>(code);
  }
  return std::nullopt;
}

std::shared_ptr<PixelBuffer> PixelBuffer::make(PixelFormat format, int64_t width, int64_t height) {
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) return nullptr;
  return std::shared_ptr<PixelBuffer>(new PixelBuffer(format, width, height));
}

PixelBuffer::PixelBuffer(PixelFormat format, int64_t width, int64_t height)
    : format_(format), width_(width), height_(height) {
  int64_t total = 0;
  if (format == PixelFormat::bgra) {
    stride_[0] = alignUp(width * 4, kRowAlignment);
    total = stride_[0] * height;
  } else if (format == PixelFormat::i420FullRange) {
    stride_[0] = alignUp(width, kRowAlignment);
    stride_[1] = stride_[2] = alignUp((width + 1) / 2, kRowAlignment);
    offset_[1] = stride_[0] * height;
    offset_[2] = offset_[1] + stride_[1] * ((height + 1) / 2);
    total = offset_[2] + stride_[2] * ((height + 1) / 2);
  } else {
    // Odd sizes round the chroma plane up so the last column and row keep their chroma.
    stride_[0] = alignUp(width, kRowAlignment);
    stride_[1] = alignUp((width + 1) / 2 * 2, kRowAlignment);
    offset_[1] = stride_[0] * height;
    total = offset_[1] + stride_[1] * ((height + 1) / 2);
  }
  storage_ = static_cast<uint8_t*>(std::aligned_alloc(kRowAlignment, static_cast<size_t>(total)));
  if (storage_ == nullptr) throw std::bad_alloc();
}

PixelBuffer::~PixelBuffer() { std::free(storage_); }

int PixelBuffer::planeCount() const {
  switch (format_) {
    case PixelFormat::bgra:
      return 1;
    case PixelFormat::i420FullRange:
      return 3;
    case PixelFormat::nv12VideoRange:
    case PixelFormat::nv12FullRange:
      break;
  }
  return 2;
}

uint8_t* PixelBuffer::planeData(int plane) {
  if (plane < 0 || plane >= planeCount()) return nullptr;
  return storage_ + offset_[plane];
}

const uint8_t* PixelBuffer::planeData(int plane) const {
  if (plane < 0 || plane >= planeCount()) return nullptr;
  return storage_ + offset_[plane];
}

int64_t PixelBuffer::bytesPerRow(int plane) const {
  if (plane < 0 || plane >= planeCount()) return 0;
  return stride_[plane];
}

int64_t PixelBuffer::planeWidth(int plane) const {
  if (plane < 0 || plane >= planeCount()) return 0;
  return plane == 0 ? width_ : (width_ + 1) / 2;
}

int64_t PixelBuffer::planeHeight(int plane) const {
  if (plane < 0 || plane >= planeCount()) return 0;
  return plane == 0 ? height_ : (height_ + 1) / 2;
}

}  // namespace lumenrail

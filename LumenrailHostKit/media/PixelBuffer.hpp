#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace lumenrail {

// Four-character codes of the capture formats, so configurations can carry
// them as plain numbers.
enum class PixelFormat : uint32_t {
  nv12VideoRange = 0x34323076,  // '420v': bi-planar 4:2:0, luma 16..235
  nv12FullRange = 0x34323066,   // '420f': bi-planar 4:2:0, luma 0..255
  bgra = 0x42475241,            // 'BGRA': one plane, bytes B, G, R, A
  i420FullRange = 0x66343230,   // 'f420': tri-planar 4:2:0 (Y, Cb, Cr), luma 0..255
};

std::optional<PixelFormat> pixelFormatFrom(uint32_t code);

// One frame in memory: NV12 (luma plane, then interleaved CbCr at half size in
// both directions), I420 (luma, then Cb and Cr planes at half size) or BGRA. Rows start 64-byte aligned so SIMD converters and
// encoders read them without copies. Shared by reference (`PixelBufferRef`);
// the bytes live as long as the last holder.
class PixelBuffer final {
 public:
  static constexpr int64_t kMaxDimension = 16384;
  static constexpr int64_t kRowAlignment = 64;

  // Nothing for a size outside 1..kMaxDimension.
  static std::shared_ptr<PixelBuffer> make(PixelFormat format, int64_t width, int64_t height);

  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;
  ~PixelBuffer();

  PixelFormat format() const { return format_; }
  int64_t width() const { return width_; }
  int64_t height() const { return height_; }
  bool isPlanar() const { return format_ != PixelFormat::bgra; }

  int planeCount() const;
  // Plane 0 is luma (or the BGRA pixels), plane 1 the CbCr pairs (I420: Cb,
  // and plane 2 Cr). An index outside the planes gives null data and zero sizes.
  uint8_t* planeData(int plane);
  const uint8_t* planeData(int plane) const;
  int64_t bytesPerRow(int plane) const;
  int64_t planeWidth(int plane) const;   // in samples (NV12 CbCr pairs count once)
  int64_t planeHeight(int plane) const;  // in rows

 private:
  friend class PixelBufferPool;
  PixelBuffer(PixelFormat format, int64_t width, int64_t height);

  PixelFormat format_;
  int64_t width_;
  int64_t height_;
  int64_t stride_[3] = {0, 0, 0};
  int64_t offset_[3] = {0, 0, 0};
  uint8_t* storage_ = nullptr;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

}  // namespace lumenrail

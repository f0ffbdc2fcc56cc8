#include "media/CaptureFrameCopier.hpp"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <cstring>
#include <limits>

#include "media/Bt709Converter.hpp"
#include "media/PictureFit.hpp"

namespace lumenrail {

namespace {

// Source rows `bytesPerRow` apart, or nothing for a picture we will not read.
bool readable(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height) {
  constexpr int64_t kIntMax = std::numeric_limits<int>::max();
  return bgrx != nullptr && width >= 1 && height >= 1 && width <= PixelBuffer::kMaxDimension &&
         height <= PixelBuffer::kMaxDimension && bytesPerRow >= width * 4 && bytesPerRow <= kIntMax;
}

// Rows copied as they are, the undefined fourth byte made opaque.
void copyOpaque(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height, uint8_t* out,
                int64_t outBytesPerRow) {
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = bgrx + y * bytesPerRow;
    uint8_t* d = out + y * outBytesPerRow;
    std::memcpy(d, s, size_t(width) * 4);
    for (int64_t x = 0; x < width; ++x) d[x * 4 + 3] = 0xff;
  }
}

// Black in every plane outside `r`. Buffers come back from the pool with
// whatever they last held, so the bars are painted on every frame.
void paintBars(PixelBuffer& out, const PictureRect& r) {
  if (r == PictureRect{0, 0, out.width(), out.height()}) return;
  const PixelFormat format = out.format();
  for (int plane = 0; plane < out.planeCount(); ++plane) {
    const int64_t shift = plane == 0 ? 0 : 1;
    const int64_t sampleBytes = format == PixelFormat::bgra ? 4 : (format == PixelFormat::i420FullRange ? 1 : 2);
    const int64_t bytes = plane == 0 && format != PixelFormat::bgra ? 1 : sampleBytes;
    const uint8_t fill = plane > 0 ? 128 : (format == PixelFormat::nv12VideoRange ? 16 : 0);
    const int64_t rows = out.planeHeight(plane);
    const int64_t rowBytes = out.planeWidth(plane) * bytes;
    const int64_t top = r.y >> shift;
    const int64_t bottom = (r.y + r.height) >> shift;
    const int64_t left = (r.x >> shift) * bytes;
    const int64_t right = ((r.x + r.width) >> shift) * bytes;
    uint8_t* base = out.planeData(plane);
    auto span = [&](uint8_t* at, int64_t n) {
      if (n <= 0) return;
      if (format == PixelFormat::bgra) {
        for (int64_t i = 0; i < n; i += 4) {
          at[i] = at[i + 1] = at[i + 2] = 0;
          at[i + 3] = 0xff;
        }
      } else {
        std::memset(at, fill, size_t(n));
      }
    };
    for (int64_t y = 0; y < rows; ++y) {
      uint8_t* row = base + y * out.bytesPerRow(plane);
      if (y < top || y >= bottom) {
        span(row, rowBytes);
      } else {
        span(row, left);
        span(row + right, rowBytes - right);
      }
    }
  }
}

uint8_t* planeAt(PixelBuffer& out, int plane, int64_t x, int64_t y) {
  return out.planeData(plane) + y * out.bytesPerRow(plane) + x;
}

// Scales one plane of bytes; libyuv's planar scaler filters each sample as
// it is, so 0 and 255 survive (its interleaved ARGB and CbCr scalers round
// 255 down to 253, which is why a scaled picture is converted first and its
// planes are scaled, not the other way round).
void scalePlane(const uint8_t* src, int64_t srcStride, int64_t srcW, int64_t srcH, uint8_t* dst, int64_t dstStride,
                int64_t dstW, int64_t dstH) {
  libyuv::ScalePlane(src, int(srcStride), int(srcW), int(srcH), dst, int(dstStride), int(dstW), int(dstH),
                     libyuv::kFilterBilinear);
}

// The picture fitted into `out`: converted where it lies when its size is
// the fitted one; otherwise converted to I420 at its own size and each plane
// scaled into place.
void writePicture(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height, PixelBuffer& out,
                  std::vector<uint8_t>& scratch, PlaneScaler& bgraScaler) {
  const PictureRect r = fitPicture(width, height, out.width(), out.height());
  paintBars(out, r);
  const bool scaled = r.width != width || r.height != height;
  const PixelFormat format = out.format();
  if (format == PixelFormat::bgra) {
    if (!scaled) {
      copyOpaque(bgrx, bytesPerRow, width, height, planeAt(out, 0, r.x * 4, r.y), out.bytesPerRow(0));
      return;
    }
    PlaneView view;
    view.format = PixelFormat::bgra;
    view.width = width;
    view.height = height;
    view.data[0] = bgrx;
    view.bytesPerRow[0] = bytesPerRow;
    PlaneTarget target;
    target.width = r.width;
    target.height = r.height;
    target.data[0] = planeAt(out, 0, r.x * 4, r.y);
    target.bytesPerRow[0] = out.bytesPerRow(0);
    bgraScaler.scale(view, target);
    for (int64_t y = r.y; y < r.y + r.height; ++y) {
      uint8_t* row = planeAt(out, 0, r.x * 4, y);
      for (int64_t x = 0; x < r.width; ++x) row[x * 4 + 3] = 0xff;
    }
    return;
  }
  const Bt709Converter::Range range =
      format == PixelFormat::nv12VideoRange ? Bt709Converter::Range::video : Bt709Converter::Range::full;
  if (!scaled) {
    if (format == PixelFormat::i420FullRange) {
      Bt709Converter::toI420(bgrx, bytesPerRow, width, height, planeAt(out, 0, r.x, r.y), out.bytesPerRow(0),
                             planeAt(out, 1, r.x / 2, r.y / 2), out.bytesPerRow(1), planeAt(out, 2, r.x / 2, r.y / 2),
                             out.bytesPerRow(2));
    } else {
      Bt709Converter::toNv12(bgrx, bytesPerRow, width, height, planeAt(out, 0, r.x, r.y), out.bytesPerRow(0),
                             planeAt(out, 1, r.x, r.y / 2), out.bytesPerRow(1), range);
    }
    return;
  }
  // Scratch: the picture as I420 at its own size, then (NV12 only) the two
  // chroma planes at the fitted size before they are interleaved.
  const int64_t cw = (width + 1) / 2, ch = (height + 1) / 2;
  const int64_t fw = (r.width + 1) / 2, fh = (r.height + 1) / 2;
  const size_t need = size_t(width * height + 2 * cw * ch + 2 * fw * fh);
  if (scratch.size() < need) scratch.resize(need);
  uint8_t* y = scratch.data();
  uint8_t* cb = y + width * height;
  uint8_t* cr = cb + cw * ch;
  Bt709Converter::toI420(bgrx, bytesPerRow, width, height, y, width, cb, cw, cr, cw, range);
  scalePlane(y, width, width, height, planeAt(out, 0, r.x, r.y), out.bytesPerRow(0), r.width, r.height);
  if (format == PixelFormat::i420FullRange) {
    scalePlane(cb, cw, cw, ch, planeAt(out, 1, r.x / 2, r.y / 2), out.bytesPerRow(1), fw, fh);
    scalePlane(cr, cw, cw, ch, planeAt(out, 2, r.x / 2, r.y / 2), out.bytesPerRow(2), fw, fh);
    return;
  }
  uint8_t* fitCb = cr + cw * ch;
  uint8_t* fitCr = fitCb + fw * fh;
  scalePlane(cb, cw, cw, ch, fitCb, fw, fw, fh);
  scalePlane(cr, cw, cw, ch, fitCr, fw, fw, fh);
  libyuv::MergeUVPlane(fitCb, int(fw), fitCr, int(fw), planeAt(out, 1, r.x, r.y / 2), int(out.bytesPerRow(1)),
                       int(fw), int(fh));
}

}  // namespace

CaptureFrameCopier::CaptureFrameCopier(int64_t width, int64_t height, PixelFormat format, NowNs nowNs, Log::Sink log)
    : width_(width), height_(height), format_(format), nowNs_(std::move(nowNs)), log_(std::move(log)) {}

CaptureFrameCopier::~CaptureFrameCopier() = default;

PixelBufferRef CaptureFrameCopier::copy(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height) {
  if (!pool_) pool_ = PixelBufferPool::make(format_, width_, height_);
  PixelBufferRef out = pool_ ? pool_->createBuffer(kAllocationThreshold) : nullptr;
  if (!out || !readable(bgrx, bytesPerRow, width, height)) {
    noteDrop();
    return nullptr;
  }
  writePicture(bgrx, bytesPerRow, width, height, *out, scaled_, bgraScaler_);
  return out;
}

void CaptureFrameCopier::noteDrop() {
  const uint64_t now = nowNs_();
  ++dropCount_;
  // The first drop is always told, even when the clock still reads near zero.
  if (lastDropLogNs_ && now - *lastDropLogNs_ <= kNsPerSecond) return;
  lastDropLogNs_ = now;
  const std::string text = "[sck] copy-out failed \u2014 frame DROPPED (" + std::to_string(dropCount_) +
                           " total); delivery pool exhausted or unreadable plane";
  if (log_) {
    log_(text);
  } else {
    Log::line(text);
  }
}

PixelBufferRef convertBgrx(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height, int64_t outWidth,
                           int64_t outHeight, PixelFormat format) {
  PixelBufferRef out = PixelBuffer::make(format, outWidth, outHeight);
  if (!out || !readable(bgrx, bytesPerRow, width, height)) return nullptr;
  std::vector<uint8_t> scaled;
  PlaneScaler bgraScaler;
  writePicture(bgrx, bytesPerRow, width, height, *out, scaled, bgraScaler);
  return out;
}

}  // namespace lumenrail

#include "media/CaptureFrameCopier.hpp"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "media/Bt709Converter.hpp"
#include "media/PictureFit.hpp"
#include "media/RowBands.hpp"

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

// Where an output row reads: source row `at` and the next, blended by
// `weight` of 256 toward the next, centres aligned.
struct Tap {
  int64_t at;
  int weight;
};

Tap tapFor(int64_t d, int64_t srcN, int64_t dstN) {
  const int64_t pos = std::max<int64_t>(0, ((2 * d + 1) * srcN - dstN) * 256 / (2 * dstN));
  if (pos >= (srcN - 1) * 256) return {srcN - 1, 0};
  return {pos >> 8, int(pos & 255)};
}

// libyuv's line filters weigh two samples with weights that sum to one and
// round to nearest, so a flat line stays exactly flat (0 and 255 survive).
// Source row `t.at` and the next blended into `line` (width bytes).
void blendRows(const uint8_t* plane, int64_t stride, int64_t width, int64_t firstRow, Tap t, uint8_t* line) {
  const uint8_t* a = plane + (t.at - firstRow) * stride;
  if (t.weight == 0) {
    std::memcpy(line, a, size_t(width));
    return;
  }
  libyuv::InterpolatePlane(a, int(stride), a + stride, int(stride), line, int(width), int(width), 1, t.weight);
}

void scaleLine(const uint8_t* line, int64_t width, uint8_t* out, int64_t outWidth) {
  libyuv::ScalePlane(line, int(width), int(width), 1, out, int(outWidth), int(outWidth), 1, libyuv::kFilterBilinear);
}

}  // namespace

// The row bands a picture is converted in and, for one fitted down, each
// band's scratch: the picture's rows it reads as I420 and the lines it
// blends them into.
struct FitScratch {
  explicit FitScratch(int bands) : bands(bands), rows(size_t(bands)) {}
  RowBands bands;
  std::vector<std::vector<uint8_t>> rows;
};

namespace {

// The picture fitted into `out`: converted where it lies when its size is
// the fitted one; otherwise converted and scaled in bands.
void writePicture(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height, PixelBuffer& out,
                  FitScratch* fitScratch, PlaneScaler& bgraScaler) {
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
  FitScratch& fit = *fitScratch;
  const int bands = fit.bands.count();
  // Band k's output rows, cut at even rows so no 2x2 chroma block is split.
  auto rowsOf = [bands](int64_t rows, int k) {
    const int64_t top = (rows * k / bands) & ~int64_t(1);
    return std::pair{top, k + 1 == bands ? rows : (rows * (k + 1) / bands) & ~int64_t(1)};
  };
  if (!scaled) {
    auto band = [&](int k) {
      const auto [top, bottom] = rowsOf(height, k);
      if (bottom <= top) return;
      const uint8_t* from = bgrx + top * bytesPerRow;
      const int64_t y = r.y + top, cy = (r.y + top) / 2;
      if (format == PixelFormat::i420FullRange) {
        Bt709Converter::toI420(from, bytesPerRow, width, bottom - top, planeAt(out, 0, r.x, y), out.bytesPerRow(0),
                               planeAt(out, 1, r.x / 2, cy), out.bytesPerRow(1), planeAt(out, 2, r.x / 2, cy),
                               out.bytesPerRow(2));
      } else {
        Bt709Converter::toNv12(from, bytesPerRow, width, bottom - top, planeAt(out, 0, r.x, y), out.bytesPerRow(0),
                               planeAt(out, 1, r.x, cy), out.bytesPerRow(1), range);
      }
    };
    fit.bands.run(band);
    return;
  }
  // Each band converts the picture rows its output rows read, then blends
  // them bilinearly: two taps a sample, exact on flat colour, so 0 and 255
  // survive. Bands cut at even output rows; the rows they convert start on
  // even rows, so each 2x2 chroma block is the one the whole picture has.
  const int64_t cw = (width + 1) / 2, ch = (height + 1) / 2;
  const int64_t fw = (r.width + 1) / 2, fh = (r.height + 1) / 2;
  auto band = [&](int k) {
    const auto [top, bottom] = rowsOf(r.height, k);
    const int64_t cTop = top / 2, cBottom = k + 1 == bands ? fh : bottom / 2;
    if (bottom <= top) return;
    const Tap yFirst = tapFor(top, height, r.height), yLast = tapFor(bottom - 1, height, r.height);
    const Tap cFirst = tapFor(cTop, ch, fh), cLast = tapFor(cBottom - 1, ch, fh);
    const int64_t first = std::min<int64_t>(yFirst.at, 2 * cFirst.at) & ~int64_t(1);
    const int64_t last = std::min(height, (std::max<int64_t>(yLast.at + 2, 2 * cLast.at + 4) + 1) & ~int64_t(1));
    const int64_t n = last - first, cn = (n + 1) / 2;
    std::vector<uint8_t>& buf = fit.rows[size_t(k)];
    const size_t need = size_t(n * width + 2 * cn * cw + width + 2 * cw + 2 * fw);
    if (buf.size() < need) buf.resize(need);
    uint8_t* y = buf.data();
    uint8_t* cb = y + n * width;
    uint8_t* cr = cb + cn * cw;
    uint8_t* line = cr + cn * cw;
    uint8_t* cbLine = line + width;
    uint8_t* crLine = cbLine + cw;
    uint8_t* cbFit = crLine + cw;
    uint8_t* crFit = cbFit + fw;
    Bt709Converter::toI420(bgrx + first * bytesPerRow, bytesPerRow, width, n, y, width, cb, cw, cr, cw, range);
    for (int64_t d = top; d < bottom; ++d) {
      blendRows(y, width, width, first, tapFor(d, height, r.height), line);
      uint8_t* o = planeAt(out, 0, r.x, r.y + d);
      scaleLine(line, width, o, r.width);
    }
    for (int64_t d = cTop; d < cBottom; ++d) {
      const Tap t = tapFor(d, ch, fh);
      blendRows(cb, cw, cw, first / 2, t, cbLine);
      blendRows(cr, cw, cw, first / 2, t, crLine);
      if (format == PixelFormat::i420FullRange) {
        scaleLine(cbLine, cw, planeAt(out, 1, r.x / 2, r.y / 2 + d), fw);
        scaleLine(crLine, cw, planeAt(out, 2, r.x / 2, r.y / 2 + d), fw);
      } else {
        scaleLine(cbLine, cw, cbFit, fw);
        scaleLine(crLine, cw, crFit, fw);
        libyuv::MergeUVPlane(cbFit, int(fw), crFit, int(fw), planeAt(out, 1, r.x, r.y / 2 + d), int(fw * 2), int(fw), 1);
      }
    }
  };
  fit.bands.run(band);
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
  if (!fit_) fit_ = std::make_unique<FitScratch>(format_ == PixelFormat::bgra ? 1 : RowBands::bandsFor(height_));
  writePicture(bgrx, bytesPerRow, width, height, *out, fit_.get(), bgraScaler_);
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
  FitScratch fit(1);
  PlaneScaler bgraScaler;
  writePicture(bgrx, bytesPerRow, width, height, *out, &fit, bgraScaler);
  return out;
}

}  // namespace lumenrail

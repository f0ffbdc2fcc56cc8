#include "media/ViewportCropper.hpp"

#include <algorithm>

#include "media/FrameScaler.hpp"

namespace lumenrail {

PixelBufferRef ViewportCropper::crop(const PixelBufferRef& source, const PixelRect& rect, int64_t outW,
                                     int64_t outH) {
  if (!source || rect.width <= 0 || rect.height <= 0 || outW <= 0 || outH <= 0) return nullptr;
  const bool planar = source->isPlanar();
  int64_t left = std::clamp<int64_t>(rect.x, 0, source->width());
  int64_t top = std::clamp<int64_t>(rect.y, 0, source->height());
  // Saturating: a hostile rectangle must not overflow its right edge.
  const int64_t right = rect.x > source->width() - rect.width ? source->width() : rect.x + rect.width;
  const int64_t bottom = rect.y > source->height() - rect.height ? source->height() : rect.y + rect.height;
  if (planar) {
    left = left / 2 * 2;
    top = top / 2 * 2;
  }
  if (right - left <= 0 || bottom - top <= 0) return nullptr;

  PlaneView view = planeViewOf(*source);
  view.width = right - left;
  view.height = bottom - top;
  if (planar) {
    view.data[0] += top * view.bytesPerRow[0] + left;
    if (source->format() == PixelFormat::i420FullRange) {
      view.data[1] += top / 2 * view.bytesPerRow[1] + left / 2;
      view.data[2] += top / 2 * view.bytesPerRow[2] + left / 2;
    } else {
      view.data[1] += top / 2 * view.bytesPerRow[1] + left;  // CbCr pairs: x/2 pairs of 2 bytes
    }
  } else {
    view.data[0] += top * view.bytesPerRow[0] + left * 4;
  }
  if (!ensurePool(pool_, outW, outH, source->format())) return nullptr;
  PixelBufferRef out = pool_->createBuffer(kAllocationThreshold);
  if (!out || !scaler_.scale(view, *out)) return nullptr;
  return out;
}

}  // namespace lumenrail

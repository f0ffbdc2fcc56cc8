#include "media/PlaneScaler.hpp"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <limits>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace lumenrail {

PlaneView planeViewOf(const PixelBuffer& buffer) {
  PlaneView view;
  view.format = buffer.format();
  view.width = buffer.width();
  view.height = buffer.height();
  for (int i = 0; i < buffer.planeCount(); ++i) {
    view.data[i] = buffer.planeData(i);
    view.bytesPerRow[i] = buffer.bytesPerRow(i);
  }
  return view;
}

PlaneTarget planeTargetOf(PixelBuffer& buffer) {
  PlaneTarget target;
  target.width = buffer.width();
  target.height = buffer.height();
  for (int i = 0; i < buffer.planeCount(); ++i) {
    target.data[i] = buffer.planeData(i);
    target.bytesPerRow[i] = buffer.bytesPerRow(i);
  }
  return target;
}

PlaneScaler::~PlaneScaler() { sws_freeContext(sws_); }

bool PlaneScaler::scale(const PlaneView& source, PixelBuffer& out) {
  if (source.format != out.format()) return false;
  return scale(source, planeTargetOf(out));
}

bool PlaneScaler::scale(const PlaneView& source, const PlaneTarget& target) {
  if (source.width < 1 || source.height < 1 || source.width > PixelBuffer::kMaxDimension ||
      source.height > PixelBuffer::kMaxDimension || target.width < 1 || target.height < 1 ||
      target.width > PixelBuffer::kMaxDimension || target.height > PixelBuffer::kMaxDimension) {
    return false;
  }
  const int planes = source.format == PixelFormat::bgra ? 1 : (source.format == PixelFormat::i420FullRange ? 3 : 2);
  constexpr int64_t kIntMax = std::numeric_limits<int>::max();
  for (int i = 0; i < planes; ++i) {
    if (source.data[i] == nullptr || source.bytesPerRow[i] < 1 || source.bytesPerRow[i] > kIntMax) return false;
    if (target.data[i] == nullptr || target.bytesPerRow[i] < 1 || target.bytesPerRow[i] > kIntMax) return false;
  }
  const auto s = [&](int i) { return int(source.bytesPerRow[i]); };
  const auto d = [&](int i) { return int(target.bytesPerRow[i]); };
  const int sw = int(source.width), sh = int(source.height), dw = int(target.width), dh = int(target.height);
  constexpr auto kFilter = libyuv::kFilterBilinear;
  switch (source.format) {
    case PixelFormat::bgra: {
      const int64_t key[4] = {sw, sh, dw, dh};
      if (sws_ == nullptr || !std::equal(key, key + 4, swsKey_)) {
        sws_freeContext(sws_);
        sws_ = sws_getContext(sw, sh, AV_PIX_FMT_BGRA, dw, dh, AV_PIX_FMT_BGRA, SWS_BILINEAR | SWS_ACCURATE_RND,
                              nullptr, nullptr, nullptr);
        if (sws_ == nullptr) return false;
        std::copy(key, key + 4, swsKey_);
      }
      const uint8_t* const src[4] = {source.data[0], nullptr, nullptr, nullptr};
      const int srcStride[4] = {s(0), 0, 0, 0};
      uint8_t* const dst[4] = {target.data[0], nullptr, nullptr, nullptr};
      const int dstStride[4] = {d(0), 0, 0, 0};
      return sws_scale(sws_, src, srcStride, 0, sh, dst, dstStride) == dh;
    }
    case PixelFormat::i420FullRange:
      return libyuv::I420Scale(source.data[0], s(0), source.data[1], s(1), source.data[2], s(2), sw, sh,
                               target.data[0], d(0), target.data[1], d(1), target.data[2], d(2), dw, dh,
                               kFilter) == 0;
    case PixelFormat::nv12FullRange:
    case PixelFormat::nv12VideoRange:
      break;
  }
  const int scw = (sw + 1) / 2, sch = (sh + 1) / 2, dcw = (dw + 1) / 2, dch = (dh + 1) / 2;
  const size_t need = 2 * (size_t(scw) * size_t(sch) + size_t(dcw) * size_t(dch));
  if (scratch_.size() < need) scratch_.resize(need);
  uint8_t* srcCb = scratch_.data();
  uint8_t* srcCr = srcCb + size_t(scw) * size_t(sch);
  uint8_t* dstCb = srcCr + size_t(scw) * size_t(sch);
  uint8_t* dstCr = dstCb + size_t(dcw) * size_t(dch);
  libyuv::ScalePlane(source.data[0], s(0), sw, sh, target.data[0], d(0), dw, dh, kFilter);
  libyuv::SplitUVPlane(source.data[1], s(1), srcCb, scw, srcCr, scw, scw, sch);
  libyuv::ScalePlane(srcCb, scw, scw, sch, dstCb, dcw, dcw, dch, kFilter);
  libyuv::ScalePlane(srcCr, scw, scw, sch, dstCr, dcw, dcw, dch, kFilter);
  libyuv::MergeUVPlane(dstCb, dcw, dstCr, dcw, target.data[1], d(1), dcw, dch);
  return true;
}

}  // namespace lumenrail

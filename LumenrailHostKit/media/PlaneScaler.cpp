#include "media/PlaneScaler.hpp"

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

PlaneScaler::~PlaneScaler() { sws_freeContext(sws_); }

bool PlaneScaler::scale(const PlaneView& source, PixelBuffer& out) {
  const bool planar = source.format != PixelFormat::bgra;
  if (source.format != out.format() || source.width < 1 || source.height < 1 || source.data[0] == nullptr ||
      (planar && source.data[1] == nullptr)) {
    return false;
  }
  constexpr int64_t kIntMax = std::numeric_limits<int>::max();
  if (source.bytesPerRow[0] > kIntMax || source.bytesPerRow[1] > kIntMax) return false;
  if (sws_ == nullptr || format_ != source.format || srcW_ != source.width || srcH_ != source.height ||
      dstW_ != out.width() || dstH_ != out.height()) {
    sws_freeContext(sws_);
    const AVPixelFormat f = planar ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA;
    sws_ = sws_getContext(int(source.width), int(source.height), f, int(out.width()), int(out.height()), f,
                          SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (sws_ == nullptr) return false;
    format_ = source.format;
    srcW_ = source.width;
    srcH_ = source.height;
    dstW_ = out.width();
    dstH_ = out.height();
  }
  const uint8_t* const src[4] = {source.data[0], planar ? source.data[1] : nullptr, nullptr, nullptr};
  const int srcStride[4] = {int(source.bytesPerRow[0]), planar ? int(source.bytesPerRow[1]) : 0, 0, 0};
  uint8_t* const dst[4] = {out.planeData(0), planar ? out.planeData(1) : nullptr, nullptr, nullptr};
  const int dstStride[4] = {int(out.bytesPerRow(0)), planar ? int(out.bytesPerRow(1)) : 0, 0, 0};
  return sws_scale(sws_, src, srcStride, 0, int(source.height), dst, dstStride) == int(out.height());
}

}  // namespace lumenrail

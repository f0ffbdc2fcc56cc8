#include "media/EncoderInput.hpp"

#include <libyuv/planar_functions.h>

#include "media/Bt709Converter.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace lumenrail {

namespace {

int alignUp(int v, int a) { return (v + a - 1) / a * a; }

}  // namespace

EncoderInput::EncoderInput(int width, int height, bool codecAcceptsNv12)
    : width_(width), height_(height), acceptsNv12_(codecAcceptsNv12) {
  const int chromaW = (width + 1) / 2;
  const int chromaH = (height + 1) / 2;
  scratchStride_[0] = alignUp(width, 64);
  scratchStride_[1] = scratchStride_[2] = alignUp(chromaW, 64);
  // NV12 from BGRA uses the chroma area as one interleaved plane.
  nv12ChromaStride_ = alignUp(chromaW * 2, 64);
  scratchOffset_[1] = static_cast<size_t>(scratchStride_[0]) * static_cast<size_t>(height);
  scratchOffset_[2] = scratchOffset_[1] + static_cast<size_t>(nv12ChromaStride_) * static_cast<size_t>(chromaH);
  // Extra tail: converters may write whole SIMD blocks past the last pixel.
  scratch_.resize(scratchOffset_[2] + static_cast<size_t>(scratchStride_[2]) * static_cast<size_t>(chromaH) + 64);
}

EncoderInput::~EncoderInput() { sws_freeContext(sws_); }

bool EncoderInput::prepare(const PixelBuffer& buffer, CodecPicture& picture) {
  const bool sameSize = buffer.width() == width_ && buffer.height() == height_;
  uint8_t* scratch[3] = {scratch_.data() + scratchOffset_[0], scratch_.data() + scratchOffset_[1],
                         scratch_.data() + scratchOffset_[2]};
  auto usePlanes = [&](bool nv12, const uint8_t* const planes[3], const int strides[3]) {
    picture.nv12 = nv12;
    for (int i = 0; i < 3; ++i) {
      picture.plane[i] = i < (nv12 ? 2 : 3) ? planes[i] : nullptr;
      picture.stride[i] = i < (nv12 ? 2 : 3) ? strides[i] : 0;
    }
    return true;
  };
  const uint8_t* const given[3] = {buffer.planeData(0), buffer.planeData(1), buffer.planeData(2)};
  const int givenStride[3] = {static_cast<int>(buffer.bytesPerRow(0)), static_cast<int>(buffer.bytesPerRow(1)),
                              static_cast<int>(buffer.bytesPerRow(2))};
  if (sameSize && buffer.format() == PixelFormat::i420FullRange) return usePlanes(false, given, givenStride);
  if (sameSize && buffer.format() == PixelFormat::nv12FullRange) {
    if (acceptsNv12_) return usePlanes(true, given, givenStride);
    libyuv::SplitUVPlane(given[1], givenStride[1], scratch[1], scratchStride_[1], scratch[2], scratchStride_[2],
                         (width_ + 1) / 2, (height_ + 1) / 2);
    const uint8_t* const planes[3] = {given[0], scratch[1], scratch[2]};
    return usePlanes(false, planes, scratchStride_);
  }
  if (sameSize && buffer.format() == PixelFormat::bgra) {
    const uint8_t* const planes[3] = {scratch[0], scratch[1], scratch[2]};
    if (acceptsNv12_) {
      Bt709Converter::toNv12(given[0], givenStride[0], width_, height_, scratch[0], scratchStride_[0], scratch[1],
                             nv12ChromaStride_);
      const int strides[3] = {scratchStride_[0], nv12ChromaStride_, 0};
      return usePlanes(true, planes, strides);
    }
    Bt709Converter::toI420(given[0], givenStride[0], width_, height_, scratch[0], scratchStride_[0], scratch[1],
                           scratchStride_[1], scratch[2], scratchStride_[2]);
    return usePlanes(false, planes, scratchStride_);
  }

  const int srcW = static_cast<int>(buffer.width());
  const int srcH = static_cast<int>(buffer.height());
  AVPixelFormat srcFormat = AV_PIX_FMT_BGRA;
  int srcRange = 1;
  switch (buffer.format()) {
    case PixelFormat::bgra:
      srcFormat = AV_PIX_FMT_BGRA;
      break;
    case PixelFormat::nv12FullRange:
      srcFormat = AV_PIX_FMT_NV12;
      break;
    case PixelFormat::nv12VideoRange:
      srcFormat = AV_PIX_FMT_NV12;
      srcRange = 0;
      break;
    case PixelFormat::i420FullRange:
      srcFormat = AV_PIX_FMT_YUV420P;
      break;
  }
  if (sws_ == nullptr || srcW != swsSrcW_ || srcH != swsSrcH_ || buffer.format() != swsSrcFormat_) {
    sws_freeContext(sws_);
    sws_ = sws_getContext(srcW, srcH, srcFormat, width_, height_, AV_PIX_FMT_YUV420P,
                          sameSize ? SWS_POINT : SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (sws_ == nullptr) return false;
    swsSrcW_ = srcW;
    swsSrcH_ = srcH;
    swsSrcFormat_ = buffer.format();
    // Capture is BT.709; the stream always signals BT.709 full range.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    if (sws_setColorspaceDetails(sws_, bt709, srcRange, bt709, 1, 0, 1 << 16, 1 << 16) < 0) {
      sws_freeContext(sws_);
      sws_ = nullptr;
      return false;
    }
  }
  const uint8_t* srcPlanes[4] = {given[0], given[1], given[2], nullptr};
  const int srcStrides[4] = {givenStride[0], givenStride[1], givenStride[2], 0};
  uint8_t* dstPlanes[4] = {scratch_.data() + scratchOffset_[0], scratch_.data() + scratchOffset_[1],
                           scratch_.data() + scratchOffset_[2], nullptr};
  const int dstStrides[4] = {scratchStride_[0], scratchStride_[1], scratchStride_[2], 0};
  if (sws_scale(sws_, srcPlanes, srcStrides, 0, srcH, dstPlanes, dstStrides) != height_) return false;
  picture.nv12 = false;
  for (int i = 0; i < 3; ++i) {
    picture.plane[i] = dstPlanes[i];
    picture.stride[i] = dstStrides[i];
  }
  return true;
}

}  // namespace lumenrail

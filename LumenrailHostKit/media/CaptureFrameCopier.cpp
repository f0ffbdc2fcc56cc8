#include "media/CaptureFrameCopier.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace lumenrail {

namespace {

// Slices of a large frame convert in parallel; tiny pictures are not worth a thread.
int swsThreads(int64_t width, int64_t height) {
  if (width * height < 640 * 480) return 1;
  return int(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 4));
}

SwsContext* makeSws(int64_t srcW, int64_t srcH, int64_t dstW, int64_t dstH, PixelFormat format) {
  SwsContext* c = sws_alloc_context();
  if (c == nullptr) return nullptr;
  const AVPixelFormat dst = format == PixelFormat::bgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_NV12;
  // BGR0: the X server leaves the fourth byte undefined.
  bool ok = av_opt_set_int(c, "srcw", srcW, 0) >= 0 && av_opt_set_int(c, "srch", srcH, 0) >= 0 &&
            av_opt_set_int(c, "src_format", AV_PIX_FMT_BGR0, 0) >= 0 && av_opt_set_int(c, "dstw", dstW, 0) >= 0 &&
            av_opt_set_int(c, "dsth", dstH, 0) >= 0 && av_opt_set_int(c, "dst_format", dst, 0) >= 0 &&
            av_opt_set_int(c, "sws_flags", SWS_BILINEAR, 0) >= 0 &&
            av_opt_set_int(c, "threads", swsThreads(dstW, dstH), 0) >= 0;
  ok = ok && sws_init_context(c, nullptr, nullptr) >= 0;
  if (ok && dst == AV_PIX_FMT_NV12) {
    // Screens are BT.709; '420v' is the one format with studio-range luma.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    const int dstRange = format == PixelFormat::nv12VideoRange ? 0 : 1;
    ok = sws_setColorspaceDetails(c, bt709, 1, bt709, dstRange, 0, 1 << 16, 1 << 16) >= 0;
  }
  if (!ok) {
    sws_freeContext(c);
    return nullptr;
  }
  return c;
}

void noFree(void*, uint8_t*) {}

// Wraps memory we own in a frame; the buffer reference keeps swscale from
// allocating its own and never frees ours.
AVFrame* wrapFrame(AVPixelFormat format, int64_t width, int64_t height, uint8_t* const data[2],
                   const int64_t stride[2], int planes, size_t bytes) {
  AVFrame* f = av_frame_alloc();
  if (f == nullptr) return nullptr;
  f->format = format;
  f->width = int(width);
  f->height = int(height);
  for (int i = 0; i < planes; ++i) {
    f->data[i] = data[i];
    f->linesize[i] = int(stride[i]);
  }
  f->buf[0] = av_buffer_create(data[0], bytes, noFree, nullptr, 0);
  if (f->buf[0] == nullptr) av_frame_free(&f);
  return f;
}

bool scale(SwsContext* c, const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height, PixelBuffer& out) {
  uint8_t* srcData[2] = {const_cast<uint8_t*>(bgrx), nullptr};
  const int64_t srcStride[2] = {bytesPerRow, 0};
  uint8_t* dstData[2] = {out.planeData(0), out.planeData(1)};
  const int64_t dstStride[2] = {out.bytesPerRow(0), out.bytesPerRow(1)};
  const size_t dstBytes = size_t(out.bytesPerRow(0) * out.planeHeight(0) + out.bytesPerRow(1) * out.planeHeight(1));
  AVFrame* src = wrapFrame(AV_PIX_FMT_BGR0, width, height, srcData, srcStride, 1, size_t(bytesPerRow * height));
  AVFrame* dst = wrapFrame(out.isPlanar() ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA, out.width(), out.height(), dstData,
                           dstStride, out.planeCount(), dstBytes);
  const bool ok = src != nullptr && dst != nullptr && sws_scale_frame(c, dst, src) >= 0;
  av_frame_free(&src);
  av_frame_free(&dst);
  return ok;
}

// Same size, BGRA out: rows copied as they are, the undefined fourth byte made opaque.
void copyOpaque(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height, PixelBuffer& out) {
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* s = bgrx + y * bytesPerRow;
    uint8_t* d = out.planeData(0) + y * out.bytesPerRow(0);
    std::memcpy(d, s, size_t(width) * 4);
    for (int64_t x = 0; x < width; ++x) d[x * 4 + 3] = 0xff;
  }
}

}  // namespace

CaptureFrameCopier::CaptureFrameCopier(int64_t width, int64_t height, PixelFormat format, NowNs nowNs, Log::Sink log)
    : width_(width), height_(height), format_(format), nowNs_(std::move(nowNs)), log_(std::move(log)) {}

CaptureFrameCopier::~CaptureFrameCopier() { sws_freeContext(sws_); }

PixelBufferRef CaptureFrameCopier::copy(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height) {
  if (!pool_) pool_ = PixelBufferPool::make(format_, width_, height_);
  PixelBufferRef out = pool_ ? pool_->createBuffer(kAllocationThreshold) : nullptr;
  if (!out || bgrx == nullptr || !convert(bgrx, bytesPerRow, width, height, *out)) {
    noteDrop();
    return nullptr;
  }
  return out;
}

bool CaptureFrameCopier::convert(const uint8_t* bgrx, int64_t bytesPerRow, int64_t width, int64_t height,
                                 PixelBuffer& out) {
  if (width < 1 || height < 1 || bytesPerRow < width * 4) return false;
  if (format_ == PixelFormat::bgra && width == width_ && height == height_) {
    copyOpaque(bgrx, bytesPerRow, width, height, out);
    return true;
  }
  if (sws_ == nullptr || width != swsSrcW_ || height != swsSrcH_) {
    sws_freeContext(sws_);
    sws_ = makeSws(width, height, width_, height_, format_);
    if (sws_ == nullptr) return false;
    swsSrcW_ = width;
    swsSrcH_ = height;
  }
  return scale(sws_, bgrx, bytesPerRow, width, height, out);
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
  if (!out || bgrx == nullptr || width < 1 || height < 1 || bytesPerRow < width * 4) return nullptr;
  if (format == PixelFormat::bgra && width == outWidth && height == outHeight) {
    copyOpaque(bgrx, bytesPerRow, width, height, *out);
    return out;
  }
  SwsContext* c = makeSws(width, height, outWidth, outHeight, format);
  if (c == nullptr) return nullptr;
  const bool ok = scale(c, bgrx, bytesPerRow, width, height, *out);
  sws_freeContext(c);
  return ok ? out : nullptr;
}

}  // namespace lumenrail

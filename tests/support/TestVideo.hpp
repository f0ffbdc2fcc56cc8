#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/PixelBuffer.hpp"
#include "platform/Bytes.hpp"
#include "wire/Wire.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace lumenrail::test {

// A moving pattern with smooth gradients and edges; `index` shifts it.
inline PixelBufferRef makeNv12Frame(int width, int height, int index, PixelFormat format = PixelFormat::nv12FullRange) {
  auto buffer = PixelBuffer::make(format, width, height);
  const bool video = format == PixelFormat::nv12VideoRange;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = buffer->planeData(0) + y * buffer->bytesPerRow(0);
    for (int x = 0; x < width; ++x) {
      int v = ((x + 2 * index) * 3 + y * 2) % 256;
      if (((x + index) / 32 + y / 32) % 2 == 0) v = v / 2 + 64;
      row[x] = static_cast<uint8_t>(video ? 16 + v * 219 / 255 : v);
    }
  }
  for (int y = 0; y < height / 2; ++y) {
    uint8_t* row = buffer->planeData(1) + y * buffer->bytesPerRow(1);
    for (int x = 0; x < width / 2; ++x) {
      row[2 * x] = static_cast<uint8_t>(128 + (x - width / 4) / 4);
      row[2 * x + 1] = static_cast<uint8_t>(128 + (y - height / 4) / 4);
    }
  }
  return buffer;
}

// Splits Annex B at 00 00 00 01; anything before the first start code is an error (empty first unit).
inline std::vector<Bytes> splitOnStartCodes(const Bytes& data) {
  std::vector<Bytes> units;
  size_t i = 0;
  if (data.size() < 4 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1) return {Bytes{}};
  while (i < data.size()) {
    size_t next = i + 4;
    while (next + 3 < data.size() &&
           !(data[next] == 0 && data[next + 1] == 0 && data[next + 2] == 0 && data[next + 3] == 1)) {
      ++next;
    }
    if (next + 3 >= data.size()) next = data.size();
    units.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(i + 4), data.begin() + static_cast<std::ptrdiff_t>(next));
    i = next;
  }
  return units;
}

inline int h264Type(const Bytes& unit) { return unit.empty() ? -1 : unit[0] & 0x1F; }
inline int hevcType(const Bytes& unit) { return unit.empty() ? -1 : (unit[0] >> 1) & 0x3F; }

// libavcodec on one thread, so a frame held back for reordering would show.
class TestDecoder {
 public:
  explicit TestDecoder(Wire::Codec codec) {
    const AVCodec* decoder = avcodec_find_decoder(codec == Wire::Codec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (decoder == nullptr) return;
    ctx_ = avcodec_alloc_context3(decoder);
    ctx_->thread_count = 1;
    if (avcodec_open2(ctx_, decoder, nullptr) < 0) avcodec_free_context(&ctx_);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~TestDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
  }
  TestDecoder(const TestDecoder&) = delete;
  TestDecoder& operator=(const TestDecoder&) = delete;

  bool ready() const { return ctx_ != nullptr; }

  // Feeds one access unit; true when a picture came out for it right away.
  bool decode(const Bytes& accessUnit) {
    if (av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) return false;
    std::copy(accessUnit.begin(), accessUnit.end(), packet_->data);
    const int sent = avcodec_send_packet(ctx_, packet_);
    av_packet_unref(packet_);
    if (sent < 0) return false;
    return avcodec_receive_frame(ctx_, frame_) == 0;
  }

  const AVFrame* picture() const { return frame_; }

 private:
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// Luma PSNR of a decoded picture against 8-bit reference rows.
inline double lumaPsnr(const AVFrame* picture, const uint8_t* ref, int64_t refStride, int width, int height) {
  double sum = 0;
  for (int y = 0; y < height; ++y) {
    const uint8_t* got = picture->data[0] + y * picture->linesize[0];
    for (int x = 0; x < width; ++x) {
      const double d = double(got[x]) - double(ref[y * refStride + x]);
      sum += d * d;
    }
  }
  const double mse = sum / (double(width) * height);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace lumenrail::test

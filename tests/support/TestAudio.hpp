#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "media/AudioSampleBuffer.hpp"
#include "platform/Bytes.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace lumenrail::test {

// `frames` of a sine at `hz`, interleaved float, starting at frame `first`.
inline AudioSampleBuffer sineBuffer(double rate, uint32_t channels, double hz, int64_t first, int64_t frames,
                                    float amplitude = 0.5f) {
  AudioSampleBuffer buffer;
  buffer.format = AudioStreamFormat::float32Interleaved(rate, channels);
  buffer.frames = frames;
  Bytes bytes(static_cast<size_t>(frames) * channels * 4);
  for (int64_t i = 0; i < frames; ++i) {
    const float v = amplitude * static_cast<float>(std::sin(2 * M_PI * hz * static_cast<double>(first + i) / rate));
    for (uint32_t c = 0; c < channels; ++c) std::memcpy(&bytes[(static_cast<size_t>(i) * channels + c) * 4], &v, 4);
  }
  buffer.buffers.push_back(std::move(bytes));
  return buffer;
}

// Sign changes per second of `samples` at `rate`, as a frequency.
inline double zeroCrossingHz(const std::vector<float>& samples, double rate) {
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  }
  return samples.empty() ? 0 : crossings / 2.0 * rate / static_cast<double>(samples.size());
}

// The median of zeroCrossingHz over 100 ms windows: a loaded machine may make
// the sound server skip or repeat a chunk, which spoils a few windows only.
inline double medianZeroCrossingHz(const std::vector<float>& samples, double rate) {
  const size_t window = static_cast<size_t>(rate / 10);
  std::vector<double> estimates;
  for (size_t at = 0; window > 0 && at + window <= samples.size(); at += window) {
    estimates.push_back(zeroCrossingHz(std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(at),
                                                          samples.begin() + static_cast<std::ptrdiff_t>(at + window)),
                                       rate));
  }
  if (estimates.empty()) return 0;
  std::nth_element(estimates.begin(), estimates.begin() + static_cast<std::ptrdiff_t>(estimates.size() / 2), estimates.end());
  return estimates[estimates.size() / 2];
}

// Raw AAC access units decoded by libavcodec to the first channel's samples.
class TestAacDecoder {
 public:
  explicit TestAacDecoder(const Bytes& config) {
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_AAC);
    ctx_ = avcodec_alloc_context3(decoder);
    ctx_->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(ctx_->extradata, config.data(), config.size());
    ctx_->extradata_size = static_cast<int>(config.size());
    if (avcodec_open2(ctx_, decoder, nullptr) < 0) avcodec_free_context(&ctx_);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~TestAacDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
  }
  TestAacDecoder(const TestAacDecoder&) = delete;
  TestAacDecoder& operator=(const TestAacDecoder&) = delete;

  bool ok() const { return ctx_ != nullptr; }
  int sampleRate() const { return ctx_->sample_rate; }
  int channels() const { return ctx_->ch_layout.nb_channels; }

  // False when the decoder rejects the packet.
  bool decode(const Bytes& unit) {
    if (av_new_packet(packet_, static_cast<int>(unit.size())) < 0) return false;
    std::memcpy(packet_->data, unit.data(), unit.size());
    const int rc = avcodec_send_packet(ctx_, packet_);
    av_packet_unref(packet_);
    if (rc < 0) return false;
    while (avcodec_receive_frame(ctx_, frame_) == 0) {
      if (frame_->format == AV_SAMPLE_FMT_FLTP) {
        const float* left = reinterpret_cast<const float*>(frame_->data[0]);
        samples.insert(samples.end(), left, left + frame_->nb_samples);
      }
      av_frame_unref(frame_);
    }
    return true;
  }

  std::vector<float> samples;

 private:
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

}  // namespace lumenrail::test

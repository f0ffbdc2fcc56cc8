#include "media/AacEncoder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace lumenrail {

namespace {
// One captured buffer larger than this (10 s at 48 kHz) is not audio capture.
constexpr int64_t kMaxFramesPerBuffer = 480'000;
constexpr uint32_t kMaxChannels = 8;
}  // namespace

struct AacEncoder::Codec {
  AVCodecContext* context = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  int64_t pts = 0;
  ~Codec() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    if (fifo != nullptr) av_audio_fifo_free(fifo);
    avcodec_free_context(&context);
  }
};

struct AacEncoder::Resampler {
  SwrContext* swr = nullptr;
  std::vector<std::vector<float>> planes;
  ~Resampler() { swr_free(&swr); }
};

AacEncoder::AacEncoder(int64_t sampleRate, int64_t channels)
    : sampleRate_(static_cast<double>(sampleRate)), channels_(0) {
  if (channels < 0 || channels > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument("AacEncoder channel count out of range: " + std::to_string(channels));
  }
  channels_ = static_cast<uint32_t>(channels);
}

AacEncoder::~AacEncoder() = default;

bool AacEncoder::openCodec() {
  if (codec_) return true;
  if (codecFailed_) return false;
  codecFailed_ = true;  // cleared below on success; a failed open is not retried per buffer
  if (channels_ == 0 || channels_ > kMaxChannels || !(sampleRate_ >= 1 && sampleRate_ <= 384000)) return false;
  const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
  if (encoder == nullptr) return false;
  auto codec = std::make_unique<Codec>();
  codec->context = avcodec_alloc_context3(encoder);
  if (codec->context == nullptr) return false;
  AVCodecContext* c = codec->context;
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->sample_rate = static_cast<int>(sampleRate_);
  c->profile = FF_PROFILE_AAC_LOW;
  av_channel_layout_default(&c->ch_layout, static_cast<int>(channels_));
  // The configuration goes to extradata, so packets stay raw access units.
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  c->time_base = AVRational{1, c->sample_rate};
  if (avcodec_open2(c, encoder, nullptr) < 0) return false;
  codec->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, static_cast<int>(channels_), c->frame_size);
  codec->frame = av_frame_alloc();
  codec->packet = av_packet_alloc();
  if (codec->fifo == nullptr || codec->frame == nullptr || codec->packet == nullptr) return false;
  codec_ = std::move(codec);
  codecFailed_ = false;
  return true;
}

std::optional<Bytes> AacEncoder::decoderConfiguration() {
  if (!openCodec()) return std::nullopt;
  const AVCodecContext* c = codec_->context;
  if (c->extradata == nullptr || c->extradata_size <= 0) return std::nullopt;
  return Bytes(c->extradata, c->extradata + c->extradata_size);
}

static std::optional<AVSampleFormat> sampleFormatOf(const AudioStreamFormat& f) {
  const bool planar = f.isNonInterleaved();
  if (f.isFloat() && f.bitsPerChannel == 32) return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
  if (f.isFloat() && f.bitsPerChannel == 64) return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
  if (f.isSignedInteger() && f.bitsPerChannel == 16) return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
  if (f.isSignedInteger() && f.bitsPerChannel == 32) return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
  return std::nullopt;
}

bool AacEncoder::rebuild(const AudioStreamFormat& input) {
  if (!openCodec()) return false;
  const auto inFormat = sampleFormatOf(input);
  if (!inFormat || input.channelsPerFrame == 0 || input.channelsPerFrame > kMaxChannels ||
      !(input.sampleRate >= 1 && input.sampleRate <= 384000)) {
    return false;
  }
  AVChannelLayout inLayout;
  av_channel_layout_default(&inLayout, static_cast<int>(input.channelsPerFrame));
  auto resampler = std::make_unique<Resampler>();
  const int rc = swr_alloc_set_opts2(&resampler->swr, &codec_->context->ch_layout, AV_SAMPLE_FMT_FLTP,
                                     codec_->context->sample_rate, &inLayout, *inFormat,
                                     static_cast<int>(input.sampleRate), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  if (rc < 0 || swr_init(resampler->swr) < 0) return false;
  resampler->planes.resize(channels_);
  resampler_ = std::move(resampler);
  inputFormat_ = input;
  ++converterBuilds_;
  return true;
}

void AacEncoder::encode(const AudioSampleBuffer& buffer, uint64_t captureNs) {
  if (!buffer.format) return;
  const AudioStreamFormat& format = *buffer.format;
  if (!resampler_ || inputFormat_ != format) {
    if (!rebuild(format)) return;
  }
  if (buffer.frames <= 0 || buffer.frames > kMaxFramesPerBuffer) return;
  // The buffers must hold the frames they claim before they are read.
  const size_t frames = static_cast<size_t>(buffer.frames);
  const size_t bytesPerFrame = format.bytesPerFrame();
  const size_t planes = format.isNonInterleaved() ? format.channelsPerFrame : 1;
  if (buffer.buffers.size() < planes) return;
  for (size_t i = 0; i < planes; ++i) {
    if (buffer.buffers[i].size() < frames * bytesPerFrame) return;
  }
  Resampler& r = *resampler_;
  const int room = swr_get_out_samples(r.swr, static_cast<int>(frames));
  if (room < 0) return;
  uint8_t* out[kMaxChannels] = {};
  for (uint32_t c = 0; c < channels_; ++c) {
    if (r.planes[c].size() < static_cast<size_t>(room)) r.planes[c].resize(static_cast<size_t>(room));
    out[c] = reinterpret_cast<uint8_t*>(r.planes[c].data());
  }
  const uint8_t* in[kMaxChannels] = {};
  for (size_t i = 0; i < planes; ++i) in[i] = buffer.buffers[i].data();
  // This buffer's first sample leaves the resampler after what it still holds.
  const int64_t held = swr_get_delay(r.swr, codec_->context->sample_rate);
  const int got = swr_convert(r.swr, out, room, in, static_cast<int>(frames));
  if (got < 0) return;
  marks_[markCount_ % kMarks] = Mark{samplesOut_ + std::max<int64_t>(held, 0), captureNs};
  ++markCount_;
  if (got > 0 && av_audio_fifo_write(codec_->fifo, reinterpret_cast<void**>(out), got) < got) return;
  samplesOut_ += got;
  drain();
}

uint64_t AacEncoder::captureTimeOf(int64_t sample) const {
  const size_t count = std::min(markCount_, kMarks);
  if (count == 0) return 0;
  // The latest mark at or before the sample; before them all, the oldest.
  const Mark* best = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const Mark& m = marks_[(markCount_ - 1 - i) % kMarks];
    best = &m;
    if (m.sample <= sample) break;
  }
  const double offsetNs = double(sample - best->sample) * 1e9 / double(codec_->context->sample_rate);
  const double t = double(best->captureNs) + offsetNs;
  return t <= 0 ? 0 : static_cast<uint64_t>(std::llround(t));
}

void AacEncoder::drain() {
  Codec& codec = *codec_;
  AVCodecContext* c = codec.context;
  while (av_audio_fifo_size(codec.fifo) >= c->frame_size) {
    AVFrame* frame = codec.frame;
    av_frame_unref(frame);
    frame->nb_samples = c->frame_size;
    frame->format = c->sample_fmt;
    frame->sample_rate = c->sample_rate;
    if (av_channel_layout_copy(&frame->ch_layout, &c->ch_layout) < 0) return;
    if (av_frame_get_buffer(frame, 0) < 0) return;
    if (av_audio_fifo_read(codec.fifo, reinterpret_cast<void**>(frame->data), c->frame_size) < c->frame_size) return;
    // Sample numbers: the library's packet times come back in the same count,
    // less its priming delay, so they name the packet's first sample.
    frame->pts = codec.pts;
    codec.pts += c->frame_size;
    if (avcodec_send_frame(c, frame) < 0) return;
    while (avcodec_receive_packet(c, codec.packet) == 0) {
      if (codec.packet->size > 0 && onAac) {
        const int64_t first = codec.packet->pts == AV_NOPTS_VALUE ? codec.pts - c->frame_size : codec.packet->pts;
        onAac(ByteView(codec.packet->data, static_cast<size_t>(codec.packet->size)), captureTimeOf(first));
      }
      av_packet_unref(codec.packet);
    }
  }
}

}  // namespace lumenrail

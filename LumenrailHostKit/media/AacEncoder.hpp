#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "media/AudioSampleBuffer.hpp"
#include "platform/Bytes.hpp"

namespace lumenrail {

// Compresses captured PCM to AAC-LC (libavcodec's native encoder) and hands
// out one raw access unit (no ADTS header) at a time. The input is resampled
// and remixed to the output rate and channel count; the resampler is rebuilt
// only when the input format changes. Not thread-safe: driven from the
// capture's delivery thread.
class AacEncoder final {
 public:
  // std::invalid_argument when `channels` is outside 0...4294967295.
  AacEncoder(int64_t sampleRate, int64_t channels);
  ~AacEncoder();
  AacEncoder(const AacEncoder&) = delete;
  AacEncoder& operator=(const AacEncoder&) = delete;

  // One access unit and the capture time (ns) of its first sample: the
  // library's packet time (which accounts for its priming delay and the
  // audio it holds back) mapped through the capture times of the buffers fed.
  std::function<void(ByteView, uint64_t)> onAac;

  // `captureNs` is the capture time of the buffer's first sample. Packets
  // come out through `onAac` before it returns, usually carrying audio of
  // earlier buffers; a buffer that cannot be converted is dropped. The
  // encoder keeps a remainder for the next call.
  void encode(const AudioSampleBuffer& buffer, uint64_t captureNs);

  // The AudioSpecificConfig a decoder needs (the AAC-LC record plus the
  // explicit "no SBR" extension: 5 bytes), nothing
  // when the encoder cannot be opened for this rate and channel count.
  std::optional<Bytes> decoderConfiguration();

  double sampleRate() const { return sampleRate_; }
  uint32_t channels() const { return channels_; }
  // How many times a resampler was built for a new input format.
  int64_t converterBuilds() const { return converterBuilds_; }

 private:
  struct Codec;
  struct Resampler;
  bool openCodec();
  bool rebuild(const AudioStreamFormat& input);
  void drain();
  uint64_t captureTimeOf(int64_t sample) const;

  // Where a fed buffer's first sample lands on the output sample count, and
  // when it was captured. A ring of the latest: the library holds back far
  // fewer buffers than this.
  struct Mark {
    int64_t sample = 0;
    uint64_t captureNs = 0;
  };
  static constexpr size_t kMarks = 64;

  double sampleRate_;
  uint32_t channels_;
  std::unique_ptr<Codec> codec_;
  bool codecFailed_ = false;
  std::unique_ptr<Resampler> resampler_;
  std::optional<AudioStreamFormat> inputFormat_;
  int64_t converterBuilds_ = 0;
  int64_t samplesOut_ = 0;  // at the output rate, into the encoder's queue
  Mark marks_[kMarks];
  size_t markCount_ = 0;  // total ever written; the ring holds the last kMarks
};

}  // namespace lumenrail

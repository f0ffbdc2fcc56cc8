#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "media/AudioSampleBuffer.hpp"
#include "platform/Bytes.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// Turns captured PCM into interleaved signed 16-bit little-endian blocks, one
// per buffer. Not thread-safe: driven from the capture's delivery thread.
class PcmS16Packer final {
 public:
  PcmS16Packer() = default;
  PcmS16Packer(const PcmS16Packer&) = delete;
  PcmS16Packer& operator=(const PcmS16Packer&) = delete;

  // The block's bytes and the capture time in ns.
  std::function<void(ByteView, uint64_t)> onPcm;
  // Where the "[audio] " warning goes; standard output unless a test listens.
  Log::Sink log = [](const std::string& line) { Log::line(line); };

  void pack(const AudioSampleBuffer& buffer, uint64_t captureNs);

  // Of the last buffer packed; 0 until then.
  int64_t channels() const { return channels_; }
  int64_t sampleRate() const { return sampleRate_; }

  // One float sample as a 16-bit sample (NaN becomes 0).
  static int16_t toS16(float sample);

 private:
  ByteView interleave(const AudioSampleBuffer& buffer, const AudioStreamFormat& format, size_t total);

  int64_t channels_ = 0;
  int64_t sampleRate_ = 0;
  bool warnedFormat_ = false;
  std::vector<int16_t> scratch_;
};

}  // namespace lumenrail

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Bytes.hpp"

namespace lumenrail {

// Flags of a linear-PCM stream description.
namespace AudioFormatFlag {
inline constexpr uint32_t isFloat = 1;
inline constexpr uint32_t isSignedInteger = 4;
inline constexpr uint32_t isNonInterleaved = 32;
}  // namespace AudioFormatFlag

// How the samples of a captured buffer are laid out.
struct AudioStreamFormat {
  double sampleRate = 0;
  uint32_t formatFlags = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;

  bool isFloat() const { return (formatFlags & AudioFormatFlag::isFloat) != 0; }
  bool isSignedInteger() const { return (formatFlags & AudioFormatFlag::isSignedInteger) != 0; }
  bool isNonInterleaved() const { return (formatFlags & AudioFormatFlag::isNonInterleaved) != 0; }
  // Bytes of one frame in one buffer: one channel when non-interleaved.
  uint32_t bytesPerFrame() const {
    return isNonInterleaved() ? bitsPerChannel / 8 : bitsPerChannel / 8 * channelsPerFrame;
  }

  // 32-bit float, interleaved: what the capture sources deliver.
  static AudioStreamFormat float32Interleaved(double rate, uint32_t channels) {
    return {rate, AudioFormatFlag::isFloat, channels, 32};
  }

  bool operator==(const AudioStreamFormat&) const = default;
};

// One captured buffer of linear PCM: one byte buffer when interleaved, one
// per channel when not.
struct AudioSampleBuffer {
  std::optional<AudioStreamFormat> format;
  int64_t frames = 0;
  std::vector<Bytes> buffers;
  // Capture time on the uptime clock, when the source knows it.
  std::optional<uint64_t> presentationNs;

  bool operator==(const AudioSampleBuffer&) const = default;
};

}  // namespace lumenrail

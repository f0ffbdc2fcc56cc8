#include "media/PcmS16Packer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/Log.hpp"

namespace lumenrail {

// The blocks are the scratch samples' own bytes.
static_assert(std::endian::native == std::endian::little, "PCM blocks are little-endian");

int16_t PcmS16Packer::toS16(float sample) {
  if (std::isnan(sample)) return 0;
  const float y = sample * 32767.0f;
  if (y >= 32767.0f) return 32767;
  if (y <= -32768.0f) return -32768;
  return static_cast<int16_t>(y);
}

void PcmS16Packer::pack(const AudioSampleBuffer& buffer, uint64_t captureNs) {
  if (!onPcm || !buffer.format) return;
  const AudioStreamFormat& format = *buffer.format;
  if (buffer.frames <= 0 || format.channelsPerFrame == 0) return;
  channels_ = format.channelsPerFrame;
  sampleRate_ = std::isfinite(format.sampleRate) && std::abs(format.sampleRate) < 1e12
                    ? static_cast<int64_t>(format.sampleRate)
                    : 0;
  // The frame count is the sender's claim: it must not overflow the sizes
  // computed from it; interleave() then checks it against the bytes held.
  if (static_cast<uint64_t>(buffer.frames) > (uint64_t{1} << 40) / format.channelsPerFrame) return;
  const size_t total = static_cast<size_t>(buffer.frames) * format.channelsPerFrame;
  const ByteView block = interleave(buffer, format, total);
  if (!block.empty()) onPcm(block, captureNs);
}

ByteView PcmS16Packer::interleave(const AudioSampleBuffer& buffer, const AudioStreamFormat& format, size_t total) {
  const size_t n = format.channelsPerFrame;
  const size_t frames = total / n;
  if (format.isFloat() && format.bitsPerChannel == 32) {
    if (format.isNonInterleaved()) {
      if (buffer.buffers.size() < n) return {};
      for (size_t i = 0; i < n; ++i) {
        if (buffer.buffers[i].size() < frames * 4) return {};
      }
    } else if (buffer.buffers.empty() || buffer.buffers[0].size() < total * 4) {
      return {};
    }
    if (scratch_.size() < total) scratch_.resize(total, 0);
    if (format.isNonInterleaved()) {
      for (size_t i = 0; i < n; ++i) {
        const Bytes& plane = buffer.buffers[i];
        for (size_t j = 0; j < frames; ++j) {
          float x;
          std::memcpy(&x, plane.data() + j * 4, 4);
          scratch_[i + n * j] = toS16(x);
        }
      }
    } else {
      const uint8_t* data = buffer.buffers[0].data();
      for (size_t i = 0; i < total; ++i) {
        float x;
        std::memcpy(&x, data + i * 4, 4);
        scratch_[i] = toS16(x);
      }
    }
    return {reinterpret_cast<const uint8_t*>(scratch_.data()), total * 2};
  }
  if (format.isSignedInteger() && format.bitsPerChannel == 16 && !format.isNonInterleaved()) {
    if (buffer.buffers.empty() || buffer.buffers[0].size() < total * 2) return {};
    return {buffer.buffers[0].data(), total * 2};
  }
  if (!warnedFormat_) {
    warnedFormat_ = true;
    std::string text = "[audio] cannot pack PCM: " + std::to_string(format.bitsPerChannel) + "-bit ";
    text += format.isFloat() ? "float" : format.isSignedInteger() ? "int" : "unknown";
    if (format.isNonInterleaved()) text += " non-interleaved";
    text += " — no PCM audio this session";
    if (log) log(text);
  }
  return {};
}

}  // namespace lumenrail

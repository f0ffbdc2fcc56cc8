#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "media/PixelBuffer.hpp"
#include "wire/EncodedFrame.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

// What the serving session needs of a video encoder, so it can be built over
// the software encoder in production and over fakes in tests.
class VideoEncoder {
 public:
  struct Config {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    int32_t bitrateBps = 0;
    Wire::Codec codec = Wire::Codec::h264;
    double keyframeIntervalSeconds = 0;
    bool operator==(const Config&) const = default;
  };

  struct LiveConfigResult {
    bool quality = false;
    bool bitrate = false;
    bool frameRate = false;
    bool operator==(const LiveConfigResult&) const = default;
  };

  // The frame is the encoder's own, reused for the next one: valid only
  // during the call (copy what must outlive it).
  using Sink = std::function<void(const EncodedFrame&)>;

  virtual ~VideoEncoder() = default;

  virtual void start() = 0;
  virtual void encode(const PixelBufferRef& buffer, uint64_t captureTimeNs, bool forceKeyframe) = 0;
  virtual LiveConfigResult applyLiveConfig(std::optional<float> quality, std::optional<int32_t> bitrateBps,
                                           std::optional<int32_t> fps) = 0;
  virtual void finish() = 0;
  virtual void stop() = 0;
  virtual Wire::Codec codec() const = 0;
  virtual bool usingHardware() const = 0;

  // Set before start(); not changed while frames are in flight.
  Sink sink;
};

}  // namespace lumenrail

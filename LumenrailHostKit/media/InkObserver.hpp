#pragma once

#include <cstdint>
#include <optional>

#include "media/PixelBuffer.hpp"

namespace lumenrail {

// Watches the mean brightness of a fixed rectangle of captured frames and
// fires once when it turns bright; it fires again only after the rectangle
// went dark (below `rearmThreshold`). One thread at a time.
class InkObserver final {
 public:
  struct Config {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;
    double brightThreshold = 160.0;  // luma, 0..255
    double rearmThreshold = 80.0;
    bool operator==(const Config&) const = default;
  };

  explicit InkObserver(Config config) : config_(config) {}

  // True for the frame in which the rectangle turned bright. A frame whose
  // luma cannot be measured (rectangle outside it) changes nothing.
  bool observe(const PixelBuffer& frame);

  // Mean luma of the rectangle clipped to the frame: BGRA as
  // 0.299 R + 0.587 G + 0.114 B, NV12 as the luma bytes as they are.
  static std::optional<double> meanLuma(const PixelBuffer& frame, const Config& config);

  const Config& config() const { return config_; }
  bool armed() const { return armed_; }

 private:
  Config config_;
  bool armed_ = true;
};

}  // namespace lumenrail

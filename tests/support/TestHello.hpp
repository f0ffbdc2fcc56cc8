#pragma once

#include <cstdint>

#include "wire/Wire.hpp"

namespace lumenrail::test {

// The main lane's stream description the server tests and peers serve:
// H.264 at 12 Mbit/s on a nanosecond clock.
inline Wire::HelloParams sampleHello(uint32_t width = 1920, uint32_t height = 1080, uint32_t fps = 60) {
  Wire::HelloParams h;
  h.codec = Wire::Codec::h264;
  h.width = width;
  h.height = height;
  h.frameRateNum = fps;
  h.frameRateDen = 1;
  h.bitrateBps = 12'000'000;
  h.qpcFrequency = 1'000'000'000;
  return h;
}

}  // namespace lumenrail::test

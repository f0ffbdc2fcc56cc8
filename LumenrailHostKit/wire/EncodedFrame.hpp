#pragma once

#include <cstdint>

#include "platform/Bytes.hpp"

namespace lumenrail {

// One encoded access unit as the video encoder hands it to its sink: NAL
// units each behind 00 00 00 01, parameter sets first on keyframes.
struct EncodedFrame {
  Bytes data;
  bool isKeyframe = false;
  uint64_t captureTimeNs = 0;  // uptime nanoseconds of the source frame
  bool operator==(const EncodedFrame&) const = default;
};

}  // namespace lumenrail

#include "input/PenDisplayPolicy.hpp"

#include <algorithm>

#include "platform/NumberText.hpp"

namespace lumenrail {

double PenDisplayPolicy::virtualDisplayHz(int64_t streamFps, bool penHighRate,
                                          std::optional<std::string_view> override) {
  if (override) {
    const std::optional<double> hz = parseWholeDouble(*override);
    if (hz && *hz > 0) return std::clamp(*hz, minHz, maxHz);
  }
  return penHighRate ? highRateHz : static_cast<double>(streamFps);
}

}  // namespace lumenrail

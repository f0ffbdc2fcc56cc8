#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace lumenrail {

// The refresh rate of the virtual display the serving session creates: the
// stream's frame rate, raised in pen high-rate mode so pen moves can be
// paced finer.
struct PenDisplayPolicy {
  static constexpr double highRateHz = 240.0;
  static constexpr double minHz = 30.0;
  static constexpr double maxHz = 240.0;

  // `override`: the environment's display-rate value when present. A number
  // above 0 wins, clamped to minHz ... maxHz; anything else is ignored.
  static double virtualDisplayHz(int64_t streamFps, bool penHighRate, std::optional<std::string_view> override);
};

}  // namespace lumenrail

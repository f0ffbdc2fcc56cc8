#include "wire/SmallLanePolicy.hpp"

#include <algorithm>
#include <cmath>

namespace lumenrail::SmallLanePolicy {

namespace {

constexpr int64_t kSmallestSide = 16;
constexpr int64_t kSmallestScaledSide = 32;
constexpr int64_t kMinFps = 24;

// floor(scale x dimension), floored at 16 and otherwise rounded down to a
// multiple of 16. The double is range-checked before it becomes an integer:
// a panel of nonsensical size must not turn into an out-of-range conversion.
int64_t scaledSide(double scale, int64_t dimension) {
  const double scaled = std::floor(scale * static_cast<double>(dimension));
  if (!(scaled >= static_cast<double>(kSmallestScaledSide))) return kSmallestSide;
  // scale never exceeds 1, so only double rounding at the top of the range can reach here.
  const int64_t side = scaled >= static_cast<double>(dimension) ? dimension : static_cast<int64_t>(scaled);
  return side & ~int64_t{15};
}

}  // namespace

bool fits(const ClientModePolicy::Mode& stream, const ClientModePolicy::Mode& panel) {
  return panel.width >= stream.width && panel.height >= stream.height;
}

std::optional<Plan> plan(const ClientModePolicy::Mode& stream, std::optional<int32_t> primary,
                         const std::map<int32_t, ClientModePolicy::Mode>& panels) {
  if (stream.width <= 0 || stream.height <= 0) return std::nullopt;

  std::set<int32_t> members;
  double scale = 1.0;
  int64_t fps = stream.fps;
  for (const auto& [fd, panel] : panels) {
    if (fits(stream, panel) || fd == primary) continue;
    members.insert(fd);
    scale = std::min(scale, static_cast<double>(panel.width) / static_cast<double>(stream.width));
    scale = std::min(scale, static_cast<double>(panel.height) / static_cast<double>(stream.height));
    fps = std::min(fps, panel.fps);
  }
  if (members.empty()) return std::nullopt;

  const ClientModePolicy::Mode mode{scaledSide(scale, stream.width), scaledSide(scale, stream.height),
                                    std::max(fps, kMinFps)};
  return Plan{mode, std::move(members)};
}

}  // namespace lumenrail::SmallLanePolicy

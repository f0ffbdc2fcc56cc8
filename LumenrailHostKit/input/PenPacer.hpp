#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "input/PenMapper.hpp"

namespace lumenrail {

// Limits moves to one per pointer per display refresh interval, the latest
// move winning; presses, releases and hover exits pass at once. Used on one
// injector's queue only; no lock.
class PenPacer final {
 public:
  // A pen rate below 1 Hz is taken as 1 Hz: a longer interval only strands
  // moves, and bounding it keeps every deadline far from overflow.
  static constexpr double minRateHz = 1.0;
  static constexpr double maxRateHz = 1'000'000'000.0;

  // Interval 1e9 / rate ns truncated, the rate clamped to minRateHz ...
  // maxRateHz; 0 (no pacing) for a rate that is not positive.
  static PenPacer fromRate(double rateHz);
  static PenPacer fromInterval(uint64_t intervalNs);

  // The pacing rate: the override (the environment's pen-rate value, when
  // present) when the whole text is a C-locale number (decimals allowed) >= 0,
  // where 0 turns pacing off and other values are clamped to minRateHz ...
  // maxRateHz; else the display's refresh rate.
  static double pacingRateHz(std::optional<std::string_view> override, double displayRefreshHz);

  // Empty, or the event itself when it is to be posted now.
  std::vector<PenMapper::Event> ingest(const PenMapper::Event& event, uint64_t now);
  // Held moves whose interval has passed, in ascending pointer id.
  std::vector<PenMapper::Event> due(uint64_t now);
  std::optional<uint64_t> nextDeadline() const;
  // Forgets everything but the interval.
  void reset();

  uint64_t intervalNs() const { return intervalNs_; }
  const std::map<uint8_t, PenMapper::Event>& pending() const { return pending_; }

 private:
  explicit PenPacer(uint64_t intervalNs) : intervalNs_(intervalNs) {}
  bool intervalPassed(uint8_t id, uint64_t now) const;
  void markPosted(const PenMapper::Event& event, uint64_t now);

  uint64_t intervalNs_ = 0;
  std::map<uint8_t, uint64_t> lastPostNs_;
  std::map<uint8_t, PenMapper::Event> pending_;
  std::map<uint8_t, PenMapper::Event> lastPosted_;
};

}  // namespace lumenrail

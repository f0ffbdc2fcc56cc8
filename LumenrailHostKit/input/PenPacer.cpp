#include "input/PenPacer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/Clock.hpp"
#include "platform/NumberText.hpp"

namespace lumenrail {

PenPacer PenPacer::fromRate(double rateHz) {
  if (!(rateHz > 0)) return PenPacer(uint64_t{0});
  const double hz = std::clamp(rateHz, minRateHz, maxRateHz);
  return PenPacer(static_cast<uint64_t>(static_cast<double>(kNsPerSecond) / hz));
}

PenPacer PenPacer::fromInterval(uint64_t intervalNs) { return PenPacer(intervalNs); }

double PenPacer::pacingRateHz(std::optional<std::string_view> override, double displayRefreshHz) {
  if (override) {
    const std::optional<double> hz = parseWholeDouble(*override);
    if (hz && *hz >= 0) return *hz == 0 ? 0.0 : std::clamp(*hz, minRateHz, maxRateHz);
  }
  return displayRefreshHz;
}

bool PenPacer::intervalPassed(uint8_t id, uint64_t now) const {
  const auto last = lastPostNs_.find(id);
  // A pointer with nothing posted yet is never held back. Otherwise the
  // difference wraps like the clock would.
  return last == lastPostNs_.end() || now - last->second >= intervalNs_;
}

void PenPacer::markPosted(const PenMapper::Event& event, uint64_t now) {
  lastPostNs_[event.pointerId] = now;
  lastPosted_[event.pointerId] = event;
}

std::vector<PenMapper::Event> PenPacer::ingest(const PenMapper::Event& event, uint64_t now) {
  const uint8_t id = event.pointerId;
  switch (event.action) {
    case PenMapper::Action::hoverExit:
      pending_.erase(id);
      lastPostNs_.erase(id);
      lastPosted_.erase(id);
      return {event};
    case PenMapper::Action::down:
    case PenMapper::Action::up:
      pending_.erase(id);
      markPosted(event, now);
      return {event};
    case PenMapper::Action::drag:
    case PenMapper::Action::hoverMove:
      break;
  }
  if (!pending_.contains(id)) {
    const auto last = lastPosted_.find(id);
    if (last != lastPosted_.end() && last->second == event) return {};
  }
  if (!intervalPassed(id, now)) {
    pending_[id] = event;
    return {};
  }
  pending_.erase(id);
  markPosted(event, now);
  return {event};
}

std::vector<PenMapper::Event> PenPacer::due(uint64_t now) {
  std::vector<PenMapper::Event> out;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (!intervalPassed(it->first, now)) {
      ++it;
      continue;
    }
    markPosted(it->second, now);
    out.push_back(it->second);
    it = pending_.erase(it);
  }
  return out;
}

std::optional<uint64_t> PenPacer::nextDeadline() const {
  std::optional<uint64_t> next;
  for (const auto& [id, event] : pending_) {
    const auto last = lastPostNs_.find(id);
    uint64_t at = 0;
    if (last != lastPostNs_.end()) {
      at = last->second > std::numeric_limits<uint64_t>::max() - intervalNs_ ? std::numeric_limits<uint64_t>::max()
                                                                               : last->second + intervalNs_;
    }
    if (!next || at < *next) next = at;
  }
  return next;
}

void PenPacer::reset() {
  lastPostNs_.clear();
  pending_.clear();
  lastPosted_.clear();
}

}  // namespace lumenrail

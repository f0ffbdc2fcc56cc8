#include "wire/DegradationAdvisory.hpp"

#include <utility>

#include "wire/Wire.hpp"

namespace lumenrail {

DegradationAdvisory::DegradationAdvisory(Say say) : say_(std::move(say)) {}

DegradationAdvisory::~DegradationAdvisory() { timer_.cancel(); }

void DegradationAdvisory::startTicks(SerialQueue& queue, uint64_t intervalNs, std::function<void()> tick) {
  timer_ = queue.scheduleRepeating(intervalNs, intervalNs, std::move(tick));
}

void DegradationAdvisory::stopTicks() { timer_.cancel(); }

void DegradationAdvisory::noteLost(int64_t frames) {
  std::lock_guard lock(mutex_);
  lost_ += frames;
}

std::optional<bool> DegradationAdvisory::tick() {
  int64_t n;
  std::optional<bool> verdict;
  {
    std::lock_guard lock(mutex_);
    n = std::exchange(lost_, 0);
    verdict = policy_.tick(n);
  }
  if (!verdict) return std::nullopt;
  if (*verdict) {
    say_("ADVISORY: encode/latency degradation detected (" + std::to_string(n) + " frame(s)/s evicted for " +
         std::to_string(DegradationPolicy::onSeconds) + "s) — flags bit1 set");
  } else {
    say_("ADVISORY: encode/latency recovered — flags bit1 cleared");
  }
  return verdict;
}

bool DegradationAdvisory::reset() {
  bool wasDegraded;
  {
    std::lock_guard lock(mutex_);
    lost_ = 0;
    wasDegraded = policy_.reset();
  }
  if (wasDegraded) say_("ADVISORY: degradation state reset (no clients) — flags bit1 cleared");
  return wasDegraded;
}

bool DegradationAdvisory::setDegraded(bool degraded) {
  std::lock_guard lock(mutex_);
  return std::exchange(degraded_, degraded) != degraded;
}

bool DegradationAdvisory::degraded() const {
  std::lock_guard lock(mutex_);
  return degraded_;
}

SharedPacket DegradationAdvisory::packet(int64_t clients) const {
  uint8_t flags = 0;
  if (clients > 2) flags |= Wire::AdvisoryFlag::count;
  if (degraded()) flags |= Wire::AdvisoryFlag::degraded;
  return sharePacket(
      Wire::advisory(clients, DegradationPolicy::onSeconds, DegradationPolicy::coalescedPerSecond, flags));
}

}  // namespace lumenrail

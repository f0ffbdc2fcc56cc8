#include "wire/LinkBudget.hpp"

#include <algorithm>
#include <vector>

namespace lumenrail {

void LinkBudget::note(uint64_t atNs, uint64_t rateBytesPerSecond, uint32_t minRttUs) {
  if (minRttUs > 0) minRttUs_ = minRttUs;
  while (!readings_.empty() && readings_.front().atNs + kWindowNs < atNs) readings_.pop_front();
  if (rateBytesPerSecond > 0) {
    readings_.push_back({atNs, rateBytesPerSecond});
    if (readings_.size() > kReadings) readings_.pop_front();
  }
  std::vector<uint64_t> rates;
  rates.reserve(readings_.size());
  for (const auto& r : readings_) rates.push_back(r.rate);
  if (rates.empty()) {
    rate_ = 0;
    return;
  }
  std::nth_element(rates.begin(), rates.begin() + static_cast<ptrdiff_t>(rates.size() / 2), rates.end());
  rate_ = rates[rates.size() / 2];
}

std::optional<int64_t> LinkBudget::kernelBytes() const {
  const uint64_t r = rate();
  if (r == 0) return std::nullopt;
  const double seconds = (static_cast<double>(kKernelNs) + 2e3 * minRttUs_) / 1e9;
  const double bytes = static_cast<double>(r) * seconds;
  return static_cast<int64_t>(std::clamp(bytes, double(kMinKernelBytes), double(kMaxKernelBytes)));
}

}  // namespace lumenrail

namespace lumenrail {

int64_t LinkBudget::sendPieceBytes() const {
  const auto bytes = kernelBytes();
  if (!bytes) return 0;
  return std::clamp<int64_t>(*bytes / 4, 1024, 64 * 1024);
}

bool LinkBudget::arrivesLate(uint64_t ageNs, int64_t queuedBytes, int64_t bytes) const {
  const uint64_t r = rate();
  if (r == 0 || linkNs(bytes, r) <= kCheapNs) return false;
  return ageNs + linkNs(queuedBytes + bytes, r) > kArrivalNs;
}

}  // namespace lumenrail

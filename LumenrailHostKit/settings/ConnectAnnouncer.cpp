#include "settings/ConnectAnnouncer.hpp"

#include <utility>

namespace lumenrail {

ConnectAnnouncer::ConnectAnnouncer(NowNs now) : now_(std::move(now)) {}

bool ConnectAnnouncer::admit(const std::string& device, bool overNetwork) {
  const uint64_t now = now_();
  const std::string key = (overNetwork ? "w:" : "u:") + device;
  // A time before the stored one (an injected clock) still counts as quiet.
  if (auto it = last_.find(key); it != last_.end() && (now < it->second || now - it->second < quietNs)) {
    return false;
  }
  // No per-key expiry: past 64 keys everything is forgotten at once.
  if (last_.size() > 64) last_.clear();
  last_[key] = now;
  return true;
}

}  // namespace lumenrail

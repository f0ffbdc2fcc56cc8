#include "settings/ConnectAnnouncer.hpp"

namespace lumenrail {

bool ConnectAnnouncer::admit(const std::string& device, bool overNetwork, double now) {
  const std::string key = (overNetwork ? "w:" : "u:") + device;
  if (auto it = last_.find(key); it != last_.end() && now - it->second < quiet) return false;
  // No per-key expiry: past 64 keys everything is forgotten at once.
  if (last_.size() > 64) last_.clear();
  last_[key] = now;
  return true;
}

}  // namespace lumenrail

#include "wire/KeyframeRequests.hpp"

namespace lumenrail {

void KeyframeRequests::raise() {
  std::lock_guard lock(mutex_);
  pending_ = true;
}

void KeyframeRequests::ask(int32_t client, uint64_t nowNs) {
  std::lock_guard lock(mutex_);
  if (pending_) return;  // the keyframe already due serves it
  auto [it, first] = askers_.try_emplace(client);
  Asker& asker = it->second;
  if (first || nowNs - asker.forcedNs >= kClientIntervalNs) {
    asker.forcedNs = nowNs;
    pending_ = true;
  } else if (!asker.deferred) {
    asker.deferred = true;
    ++deferred_;
  }
}

void KeyframeRequests::forget(int32_t client) {
  std::lock_guard lock(mutex_);
  auto it = askers_.find(client);
  if (it == askers_.end()) return;
  if (it->second.deferred) --deferred_;
  askers_.erase(it);
}

bool KeyframeRequests::take(uint64_t nowNs) {
  std::lock_guard lock(mutex_);
  if (deferred_ > 0) {
    // Deferred requests whose interval is over force one together; then the
    // keyframe, whatever raised it, serves every request still waiting.
    const bool wasPending = pending_;
    for (auto& [client, asker] : askers_) {
      if (!asker.deferred || nowNs - asker.forcedNs < kClientIntervalNs) continue;
      if (!wasPending) asker.forcedNs = nowNs;
      pending_ = true;
    }
    if (pending_) {
      for (auto& [client, asker] : askers_) asker.deferred = false;
      deferred_ = 0;
    }
  }
  const bool due = pending_;
  pending_ = false;
  return due;
}

}  // namespace lumenrail

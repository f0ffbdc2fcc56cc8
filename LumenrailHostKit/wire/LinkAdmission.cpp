#include "wire/LinkAdmission.hpp"

#include <algorithm>
#include <tuple>

#include "platform/Clock.hpp"

namespace lumenrail {

namespace {
// Addresses that hold no link are forgotten once there are this many.
constexpr size_t kAddressesKept = 1024;
}  // namespace

LinkAdmission::LinkAdmission(Bounds bounds) : bounds_(bounds) {}

std::map<uint64_t, LinkAdmission::Link>::iterator LinkAdmission::stalest(const uint32_t* address, uint64_t nowNs) {
  // Idle links before busy ones; then the least far (a stranger without a
  // key gets no further than a device's first message); then the one whose
  // last arrival or step lies furthest back.
  auto rank = [&](const Link& l) {
    const bool busy = nowNs < l.lastProgressNs + bounds_.busyNs;
    return std::tuple(busy, l.steps, l.lastEvent);
  };
  auto best = links_.end();
  for (auto it = links_.begin(); it != links_.end(); ++it) {
    const Link& l = it->second;
    if (l.held || (address && l.address != *address)) continue;
    if (best == links_.end() || rank(l) < rank(best->second)) best = it;
  }
  return best;
}

bool LinkAdmission::takeEviction(Address& address, uint64_t nowNs) const {
  const auto capacity = static_cast<double>(bounds_.maxPerAddress);
  if (nowNs > address.refilledNs) {
    address.evictions =
        std::min(capacity, address.evictions + capacity * static_cast<double>(nowNs - address.refilledNs) /
                                                   static_cast<double>(kNsPerSecond));
  }
  address.refilledNs = std::max(address.refilledNs, nowNs);
  if (address.evictions < 1) return false;
  address.evictions -= 1;
  return true;
}

void LinkAdmission::forget(std::map<uint64_t, Link>::iterator link) {
  const auto address = addresses_.find(link->second.address);
  if (address != addresses_.end()) --address->second.links;
  links_.erase(link);
}

LinkAdmission::Admitted LinkAdmission::admit(uint32_t address, uint64_t nowNs, Evict evict) {
  Admitted result;
  std::lock_guard lock(mutex_);
  if (addresses_.size() >= kAddressesKept) {
    std::erase_if(addresses_, [](const auto& entry) { return entry.second.links <= 0; });
  }
  auto [found, added] = addresses_.try_emplace(address);
  Address& mine = found->second;
  if (added) {
    mine.evictions = static_cast<double>(bounds_.maxPerAddress);
    mine.refilledNs = nowNs;
  }
  const bool addressFull = mine.links >= bounds_.maxPerAddress;
  if (addressFull || static_cast<int64_t>(links_.size()) >= bounds_.maxUnproven) {
    const auto victim = stalest(addressFull ? &address : nullptr, nowNs);
    // Every place waits for the owner's answer, or this address has aged out
    // all it may for now.
    if (victim == links_.end()) return result;
    if (!takeEviction(mine, nowNs)) {
      result.tooFast = true;
      return result;
    }
    result.victim = std::move(victim->second.evict);
    result.victimIdleNs = nowNs > victim->second.lastProgressNs ? nowNs - victim->second.lastProgressNs : 0;
    forget(victim);
  }
  result.ticket.id = nextId_++;
  links_.emplace(result.ticket.id, Link{address, nowNs, ++events_, 0, false, std::move(evict)});
  ++mine.links;
  return result;
}

void LinkAdmission::progress(Ticket ticket, uint64_t nowNs) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it == links_.end()) return;
  it->second.lastProgressNs = nowNs;
  it->second.lastEvent = ++events_;
  ++it->second.steps;
}

void LinkAdmission::hold(Ticket ticket, bool held) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it != links_.end()) it->second.held = held;
}

void LinkAdmission::release(Ticket ticket) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it != links_.end()) forget(it);
}

int64_t LinkAdmission::unproven() const {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(links_.size());
}

}  // namespace lumenrail

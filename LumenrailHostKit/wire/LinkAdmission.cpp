#include "wire/LinkAdmission.hpp"

#include <algorithm>
#include <chrono>
#include <tuple>

#include "platform/Clock.hpp"

namespace lumenrail {

namespace {
// Addresses are remembered (what they aged out, whether they proved a link)
// up to this many; beyond, those holding no link are forgotten, the least
// telling first.
constexpr size_t kAddressesKept = 8192;
}  // namespace

LinkAdmission::LinkAdmission(Bounds bounds) : bounds_(bounds) {
  house_.tokens = static_cast<double>(bounds_.housePerSecond);
}

bool LinkAdmission::Bucket::take(double capacity, double perSecond, uint64_t nowNs, bool dryRun) {
  if (nowNs > refilledNs) {
    tokens = std::min(capacity, tokens + perSecond * static_cast<double>(nowNs - refilledNs) /
                                             static_cast<double>(kNsPerSecond));
  }
  refilledNs = std::max(refilledNs, nowNs);
  if (tokens < 1) return false;
  if (!dryRun) tokens -= 1;
  return true;
}

std::map<uint64_t, LinkAdmission::Link>::iterator LinkAdmission::stalest(const uint32_t* address, uint64_t nowNs) {
  // Links of an address whose device proved itself lately last; then idle
  // links before busy ones; then the least far (a stranger without a key
  // gets no further than a device's first message); then the one whose last
  // arrival or step lies furthest back.
  auto rank = [&](const Link& l) {
    const auto a = addresses_.find(l.address);
    const bool vouched = a != addresses_.end() && trusted(a->second, nowNs);
    const bool busy = nowNs < l.lastProgressNs + bounds_.busyNs;
    return std::tuple(vouched, busy, l.steps, l.lastEvent);
  };
  auto best = links_.end();
  for (auto it = links_.begin(); it != links_.end(); ++it) {
    const Link& l = it->second;
    if (l.held || !l.looked || (address && l.address != *address)) continue;
    if (best == links_.end() || rank(l) < rank(best->second)) best = it;
  }
  return best;
}

bool LinkAdmission::cold(const Address& a, uint64_t nowNs) const {
  return !a.agedOutOthers || nowNs >= a.agedOutOthersNs + bounds_.coldNs;
}

bool LinkAdmission::trusted(const Address& a, uint64_t nowNs) const {
  return a.proved && nowNs < a.provedNs + bounds_.trustNs;
}

void LinkAdmission::forget(std::map<uint64_t, Link>::iterator link) {
  const auto address = addresses_.find(link->second.address);
  if (address != addresses_.end()) --address->second.links;
  links_.erase(link);
}

void LinkAdmission::forgetIdleAddresses(uint64_t nowNs) {
  if (addresses_.size() < kAddressesKept) return;
  // First those that would be cold and untrusted anyway, then any without a link.
  std::erase_if(addresses_, [&](const auto& entry) {
    const Address& a = entry.second;
    return a.links <= 0 && cold(a, nowNs) && !trusted(a, nowNs);
  });
  if (addresses_.size() >= kAddressesKept) {
    std::erase_if(addresses_, [](const auto& entry) { return entry.second.links <= 0; });
  }
}

LinkAdmission::Admitted LinkAdmission::admit(uint32_t address, uint64_t nowNs, Evict evict) {
  Admitted result;
  std::lock_guard lock(mutex_);
  forgetIdleAddresses(nowNs);
  auto [found, added] = addresses_.try_emplace(address);
  Address& mine = found->second;
  const auto perAddress = static_cast<double>(bounds_.maxPerAddress);
  if (added) {
    mine.evictions.tokens = perAddress;
    mine.evictions.refilledNs = nowNs;
  }
  const bool addressFull = mine.links >= bounds_.maxPerAddress;
  if (addressFull || static_cast<int64_t>(links_.size()) >= bounds_.maxUnproven) {
    const auto victim = stalest(addressFull ? &address : nullptr, nowNs);
    if (victim == links_.end()) {
      result.refusal = Refusal::allHeld;
      result.unread = std::any_of(links_.begin(), links_.end(), [&](const auto& entry) {
        const Link& l = entry.second;
        return !l.held && !l.looked && (!addressFull || l.address == address);
      });
      return result;
    }
    const bool others = victim->second.address != address;
    const auto house = static_cast<double>(bounds_.housePerSecond);
    // The house's leave is asked first and taken last, so a refusal costs nothing.
    const bool exempt = cold(mine, nowNs) || trusted(mine, nowNs);
    const bool houseAgrees = !others || exempt || house_.take(house, house, nowNs, true);
    if (!houseAgrees) {
      result.refusal = Refusal::houseTooFast;
      return result;
    }
    if (!mine.evictions.take(perAddress, perAddress, nowNs)) {
      result.refusal = Refusal::addressTooFast;
      return result;
    }
    if (others) {
      if (!exempt) house_.take(house, house, nowNs);
      mine.agedOutOthers = true;
      mine.agedOutOthersNs = nowNs;
    }
    result.victim = std::move(victim->second.evict);
    result.victimIdleNs = nowNs > victim->second.lastProgressNs ? nowNs - victim->second.lastProgressNs : 0;
    forget(victim);
  }
  result.ticket.id = nextId_++;
  links_.emplace(result.ticket.id, Link{address, nowNs, ++events_, 0, false, false, std::move(evict)});
  ++mine.links;
  return result;
}

void LinkAdmission::looked(Ticket ticket) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it == links_.end() || it->second.looked) return;
  it->second.looked = true;
  ++lookCount_;
  looks_.notify_all();
}

void LinkAdmission::awaitLook(uint64_t timeoutNs) {
  std::unique_lock lock(mutex_);
  const uint64_t seen = lookCount_;
  looks_.wait_for(lock, std::chrono::nanoseconds(timeoutNs), [&] { return lookCount_ != seen; });
}

void LinkAdmission::progress(Ticket ticket, uint64_t nowNs) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it == links_.end()) return;
  it->second.lastProgressNs = nowNs;
  it->second.lastEvent = ++events_;
  ++it->second.steps;
  if (!it->second.looked) {
    it->second.looked = true;
    ++lookCount_;
    looks_.notify_all();
  }
}

void LinkAdmission::hold(Ticket ticket, bool held) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it != links_.end()) it->second.held = held;
}

void LinkAdmission::proven(Ticket ticket, uint64_t nowNs) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it == links_.end()) return;
  const auto address = addresses_.find(it->second.address);
  if (address != addresses_.end()) {
    address->second.proved = true;
    address->second.provedNs = nowNs;
  }
}

void LinkAdmission::release(Ticket ticket) {
  std::lock_guard lock(mutex_);
  const auto it = links_.find(ticket.id);
  if (it == links_.end()) return;
  forget(it);
  ++lookCount_;
  looks_.notify_all();
}

int64_t LinkAdmission::unproven() const {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(links_.size());
}

int64_t LinkAdmission::unread() const {
  std::lock_guard lock(mutex_);
  return std::count_if(links_.begin(), links_.end(), [](const auto& entry) { return !entry.second.looked; });
}

}  // namespace lumenrail

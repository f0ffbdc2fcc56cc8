#include "wire/LinkAdmission.hpp"

namespace lumenrail {

LinkAdmission::LinkAdmission(Bounds bounds) : bounds_(bounds) {}

LinkAdmission::Place LinkAdmission::admit(uint32_t address, bool reserveUsable, int64_t& waiting) {
  std::lock_guard lock(mutex_);
  int64_t& mine = perAddress_[address];
  if (mine >= bounds_.maxPerAddress) {
    waiting = mine;
    return Place::refused;
  }
  Place place;
  if (common_ < bounds_.maxUnproven) {
    ++common_;
    place = Place::common;
  } else if (reserveUsable && reserved_ < bounds_.reservedForPaired) {
    ++reserved_;
    place = Place::reserved;
  } else {
    waiting = common_ + reserved_;
    if (mine == 0) perAddress_.erase(address);
    return Place::refused;
  }
  ++mine;
  return place;
}

void LinkAdmission::release(uint32_t address, Place place) {
  if (place == Place::refused) return;
  std::lock_guard lock(mutex_);
  --(place == Place::common ? common_ : reserved_);
  auto it = perAddress_.find(address);
  if (it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
}

int64_t LinkAdmission::unproven() const {
  std::lock_guard lock(mutex_);
  return common_ + reserved_;
}

}  // namespace lumenrail

#include "wire/LinkAdmission.hpp"

namespace lumenrail {

LinkAdmission::LinkAdmission(int64_t maxUnproven) : maxUnproven_(maxUnproven) {}

bool LinkAdmission::admit(int64_t& waiting) {
  std::lock_guard lock(mutex_);
  waiting = unproven_;
  if (unproven_ >= maxUnproven_) return false;
  ++unproven_;
  return true;
}

void LinkAdmission::release() {
  std::lock_guard lock(mutex_);
  --unproven_;
}

int64_t LinkAdmission::unproven() const {
  std::lock_guard lock(mutex_);
  return unproven_;
}

}  // namespace lumenrail

#include "input/PointerOwnership.hpp"

namespace lumenrail {

bool PointerOwnership::mayDrive(int32_t clientId) {
  std::lock_guard guard(lock_);
  if (!owner_) owner_ = clientId;
  return *owner_ == clientId;
}

void PointerOwnership::yield(int32_t clientId) {
  std::lock_guard guard(lock_);
  if (owner_ == clientId) owner_.reset();
}

std::optional<int32_t> PointerOwnership::current() const {
  std::lock_guard guard(lock_);
  return owner_;
}

}  // namespace lumenrail

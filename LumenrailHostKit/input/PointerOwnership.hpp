#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace lumenrail {

// Lets one client at a time drive the desktop pointer; shared by every
// injector of a serving session.
class PointerOwnership final {
 public:
  // Claims a free pointer; true when the caller owns it.
  bool mayDrive(int32_t clientId);
  // Frees the pointer only when the caller owns it.
  void yield(int32_t clientId);
  std::optional<int32_t> current() const;

 private:
  mutable std::mutex lock_;
  std::optional<int32_t> owner_;
};

}  // namespace lumenrail

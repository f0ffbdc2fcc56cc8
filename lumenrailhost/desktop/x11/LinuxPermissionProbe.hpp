#pragma once

// The grants of this process on an X11 desktop: the X display named by
// DISPLAY (or the one given) opens and can be read, and "may post input" (uinput or XTest).

#include <string>

#include "ports/HostPermissions.hpp"

namespace lumenrail {

class LinuxPermissionProbe final : public HostPermissions::Probe {
 public:
  // `xDisplay` is ":N"; empty means $DISPLAY.
  explicit LinuxPermissionProbe(std::string xDisplay = {}) : xDisplay_(std::move(xDisplay)) {}
  bool screenCapture() override;
  bool mayPostInput() override;

 private:
  const std::string xDisplay_;
};

}  // namespace lumenrail

#pragma once

// The grants of this process on an X11 desktop: the X display named by
// DISPLAY opens and can be read, and "may post input" (uinput or XTest).

#include "ports/HostPermissions.hpp"

namespace lumenrail {

class LinuxPermissionProbe final : public HostPermissions::Probe {
 public:
  bool screenCapture() override;
  bool mayPostInput() override;
};

}  // namespace lumenrail

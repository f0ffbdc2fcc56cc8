#pragma once

// The grants of this process on GNOME Wayland: Mutter's screen cast needs no
// grant of its own, and its remote-desktop session posts input without
// /dev/uinput, so both are whether Mutter's services are on the session bus.

#include "ports/HostPermissions.hpp"

namespace lumenrail {

class GnomePermissionProbe final : public HostPermissions::Probe {
 public:
  bool screenCapture() override;
  bool mayPostInput() override;
};

}  // namespace lumenrail

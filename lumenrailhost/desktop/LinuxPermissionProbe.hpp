#pragma once

// The two grants of this process: an X display named by DISPLAY that opens
// and can be read, and "may post input".

#include "app/controller/HostPermissions.hpp"

namespace lumenrail {

class LinuxPermissionProbe final : public HostPermissions::Probe {
 public:
  bool screenCapture() override;
  bool mayPostInput() override;
};

}  // namespace lumenrail

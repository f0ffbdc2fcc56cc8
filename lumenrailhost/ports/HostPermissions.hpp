#pragma once

// The two grants the host needs, in their Linux meaning: screen capture is
// an X display that can be opened and read; input is "may post input" (a
// writable /dev/uinput, or XTest on the display). Linux has no privacy panes
// to open, and nothing asks the user; the setup step only reports. The
// probe on this machine lives with the program's entry.

#include <functional>
#include <string>
#include <vector>

#include "platform/Log.hpp"

namespace lumenrail::HostPermissions {

class Probe {
 public:
  virtual ~Probe() = default;
  virtual bool screenCapture() = 0;
  virtual bool mayPostInput() = 0;
};

// Says in one line that there is no such pane on Linux, and what the grant
// means here.
void openPrivacyPane(const std::string& anchor, const Log::Sink& log = Log::line);

// The one command that grants input access (as root: the udev rule and the
// uinput module): the installed tree's helper beside `executable`, else the
// source tree's script.
std::string grantCommand(const std::string& executable, bool installed,
                         const std::string& sourceDir = LUMENRAIL_SOURCE_DIR);

}  // namespace lumenrail::HostPermissions

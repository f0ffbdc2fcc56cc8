#pragma once

// The two grants the host needs, in their Linux meaning: screen capture is
// an X display that can be opened and read; input is "may post input" (a
// writable /dev/uinput, or XTest on the display). Linux has no privacy panes
// to open, and nothing asks the user; the setup step only reports.

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

// This process on the display named by DISPLAY.
class LinuxProbe final : public Probe {
 public:
  bool screenCapture() override;
  bool mayPostInput() override;
};

// Says in one line that there is no such pane on Linux, and what the grant
// means here.
void openPrivacyPane(const std::string& anchor, const Log::Sink& log = Log::line);

// The command that starts this program again as an application: the resolved
// executable, with "--app" when it does not run from an installed tree.
std::vector<std::string> relaunchCommand(const std::string& executable, bool installed);

// Starts `command` once the process holding the other end of `exitPipe`'s
// write side has gone (its end closes with it), so the new instance never
// meets the old one's single-instance lock. False when it could not be set up.
bool startWhenClosed(const std::vector<std::string>& command, int exitPipeReadFd);

// Starts this program again once this process has exited, then calls `quit`
// (whether or not the start could be set up).
void relaunch(const std::function<void()>& quit, const Log::Sink& log = Log::line);

}  // namespace lumenrail::HostPermissions

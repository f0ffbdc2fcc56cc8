#include "app/controller/HostPermissions.hpp"

namespace lumenrail::HostPermissions {

void openPrivacyPane(const std::string& anchor, const Log::Sink& log) {
  std::string meaning = "nothing to grant";
  if (anchor == "Privacy_ScreenCapture") meaning = "screen capture needs an X display this user may open and read";
  if (anchor == "Privacy_Accessibility") meaning = "input needs a writable /dev/uinput or XTest on the display";
  if (log) log("[setup] no privacy settings to open on Linux (" + anchor + "): " + meaning);
}

std::vector<std::string> relaunchCommand(const std::string& executable, bool installed) {
  std::vector<std::string> command{executable};
  if (!installed) command.push_back("--app");
  return command;
}

}  // namespace lumenrail::HostPermissions

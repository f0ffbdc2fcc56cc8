#include "ports/HostPermissions.hpp"

#include <filesystem>

namespace lumenrail::HostPermissions {

void openPrivacyPane(const std::string& anchor, const Log::Sink& log) {
  std::string meaning = "nothing to grant";
  if (anchor == "Privacy_ScreenCapture") meaning = "screen capture needs a display server this user may read";
  if (anchor == "Privacy_Accessibility") meaning = "input needs a writable /dev/uinput or XTest on an X display, or GNOME's remote-desktop session";
  if (log) log("[setup] no privacy settings to open on Linux (" + anchor + "): " + meaning);
}

namespace {

// One shell word, quoted only where the path needs it.
std::string shellWord(const std::string& path) {
  if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+") ==
      std::string::npos) {
    return path;
  }
  std::string quoted = "'";
  for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string grantCommand(const std::string& executable, bool installed, const std::string& sourceDir) {
  const std::filesystem::path program = installed
      ? std::filesystem::path(executable).parent_path().parent_path() / "libexec/lumenrail/grant-input-access"
      : std::filesystem::path(sourceDir) / "scripts/grant-input-access";
  return "sudo " + shellWord(program.lexically_normal().string());
}

}  // namespace lumenrail::HostPermissions

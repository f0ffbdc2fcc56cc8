#include "trayapp/GuiPlatform.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <QLibraryInfo>

namespace lumenrail {

namespace {

std::string valueOf(const Environment& env, const char* name) {
  const auto found = env.find(name);
  return found == env.end() ? std::string() : found->second;
}

bool waylandPluginInstalled() {
  const std::filesystem::path folder =
      std::filesystem::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) / "platforms";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    if (entry.path().filename().string().rfind("libqwayland-", 0) == 0) return true;
  }
  return false;
}

// Qt aborts the process when its platform cannot connect; a plain socket
// connect tells first, without speaking the protocol.
bool waylandSocketAccepts(const Environment& env) {
  std::string path = valueOf(env, "WAYLAND_DISPLAY");
  if (path.empty()) return false;
  if (path.front() != '/') {
    const std::string runtime = valueOf(env, "XDG_RUNTIME_DIR");
    if (runtime.empty()) return false;
    path = runtime + "/" + path;
  }
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

GuiPlatform GuiPlatform::choose(const Environment& env, bool waylandPlugin, bool waylandReachable) {
  GuiPlatform out;
  const bool wayland = !valueOf(env, "WAYLAND_DISPLAY").empty();
  if (const std::string asked = valueOf(env, "QT_QPA_PLATFORM"); !asked.empty()) {
    if (asked == "wayland" && !(wayland && waylandPlugin && waylandReachable)) {
      out.refusal = "QT_QPA_PLATFORM=wayland, but no Wayland compositor answers or qt6-wayland is not installed";
    }
    return out;
  }
  const bool x11 = !valueOf(env, "DISPLAY").empty();
  if (wayland && waylandPlugin && waylandReachable) {
    // Qt tries the names in order: Xwayland only when Wayland fails after all.
    out.qpa = x11 ? "wayland;xcb" : "wayland";
    return out;
  }
  if (wayland && !x11) {
    out.refusal = !waylandPlugin ? "Qt's Wayland platform is not installed (package qt6-wayland)"
                                 : "the Wayland compositor at WAYLAND_DISPLAY does not answer";
    return out;
  }
  if (wayland) {
    out.warning = !waylandPlugin ? "Qt's Wayland platform is not installed (package qt6-wayland) — the windows run on "
                                   "Xwayland"
                                 : "the Wayland compositor does not answer — the windows run on Xwayland";
  }
  if (!x11) {
    out.refusal = "no desktop to show the windows on (neither WAYLAND_DISPLAY nor DISPLAY is set)";
    return out;
  }
  out.qpa = "xcb";
  return out;
}

GuiPlatform GuiPlatform::forThisProcess(const Environment& env) {
  return choose(env, waylandPluginInstalled(), waylandSocketAccepts(env));
}

}  // namespace lumenrail

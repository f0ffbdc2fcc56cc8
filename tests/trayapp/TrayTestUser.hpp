#pragma once

// The user the tray application's tests start it for: every folder in a
// temporary one, setup done, nothing leaving loopback.

#include <filesystem>
#include <string>
#include <vector>

#include "app/windows/SetupModel.hpp"
#include "platform/UserDefaults.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/TempFolder.hpp"
#include "text/ProductIdentity.hpp"

namespace lumenrail::test {

// A user whose folders are all in `dir` and who has been through setup, so
// the host starts serving rather than opening the setup window. Nothing
// leaves loopback: no update manifest. Empty when setup cannot be marked done.
// userEnvironment() adds an X display and a session bus.
inline std::vector<std::string> userFolders(const TempFolder& dir) {
  std::filesystem::create_directories(dir.path("runtime"));
  std::filesystem::create_directories(dir.path("config") + "/lumenrail");
  if (!UserDefaults(dir.path("config") + "/lumenrail/defaults.json", UserDefaults::kStandardDomain)
           .set({{SetupModel::kCompletedVersionKey, ProductIdentity::kVersion}})
           .empty()) {
    return {};
  }
  return {"HOME=" + dir.path("home"), "XDG_CONFIG_HOME=" + dir.path("config"), "XDG_DATA_HOME=" + dir.path("data"),
          "XDG_STATE_HOME=" + dir.path("state"), "LUMENRAIL_UPDATE_URL=http://127.0.0.1:9/manifest.json"};
}

inline std::vector<std::string> userEnvironment(const TempFolder& dir, const std::string& display,
                                         const PrivateSessionBus& bus) {
  std::vector<std::string> env = userFolders(dir);
  if (env.empty()) return {};
  env.insert(env.end(), {"DISPLAY=" + display, "DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                         "XDG_RUNTIME_DIR=" + dir.path("runtime"), "QT_QPA_PLATFORM=xcb"});
  return env;
}

}  // namespace lumenrail::test

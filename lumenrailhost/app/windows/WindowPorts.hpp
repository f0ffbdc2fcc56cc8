#pragma once

// What the windows ask of the desktop beyond the model's common ports: the
// login item, starting a program, and the relaunch. The views target gives the Qt ones; tests give fakes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/AppPorts.hpp"
#include "app/controller/LoginItem.hpp"

namespace lumenrail {

// The XDG autostart entry as the settings window sees it.
class LoginItemPort {
 public:
  virtual ~LoginItemPort() = default;
  // Only an installed tree can register itself.
  virtual bool available() const = 0;
  virtual bool isEnabled() const = 0;
  // Nothing on success, else what went wrong.
  virtual std::optional<LoginItem::Note> setEnabled(bool enabled) = 0;
};

// Starts a program without waiting for it; false when it could not start.
using ProgramLauncher = std::function<bool(const std::vector<std::string>& argv)>;

// What the settings window's actions reach.
struct SettingsPorts {
  std::shared_ptr<LoginItemPort> loginItem;
  std::shared_ptr<UrlOpener> opener;
  std::shared_ptr<Clipboard> clipboard;
  ProgramLauncher launch;
  std::function<void()> relaunch;
  // The main loop, for the timed states.
  std::shared_ptr<Executor> main;
  // The desktop's name list ($XDG_CURRENT_DESKTOP), $PATH and the log file,
  // as the start-up found them.
  std::string desktop;
  std::string path;
  std::string logFile;
};

}  // namespace lumenrail

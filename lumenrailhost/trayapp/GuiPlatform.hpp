#pragma once

// Which Qt platform the tray application's windows run on. On a Wayland
// desktop they are Wayland clients of the compositor; Xwayland is only the
// fallback, so nothing of the application needs an X server there.

#include <string>

#include "platform/ProcessEnvironment.hpp"

namespace lumenrail {

struct GuiPlatform {
  // The value for QT_QPA_PLATFORM; empty: keep what the user set.
  std::string qpa;
  // A WARN line to log, or empty.
  std::string warning;
  // Why no window can be shown; empty when one can.
  std::string refusal;

  // `waylandPlugin`: Qt's Wayland platform is installed; `waylandReachable`:
  // the compositor's socket accepts a connection.
  static GuiPlatform choose(const Environment& env, bool waylandPlugin, bool waylandReachable);
  // The same with the plug-in folder and the compositor's socket looked at.
  static GuiPlatform forThisProcess(const Environment& env);
};

}  // namespace lumenrail

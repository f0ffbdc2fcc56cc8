#pragma once

// The tray application: the Qt application object, the controller with its
// ports on Qt and the Linux desktop, and the main loop on this thread until
// the user quits or SIGINT, SIGTERM or SIGHUP arrives; serving is stopped
// before it returns.

#include <memory>
#include <string>
#include <vector>

#include "settings/HostSettings.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail {

// Returns the exit status. Call before any thread is started: the stop
// signals are blocked in every thread and read by the main loop.
int runMenuBarHost(const HostSettings& settings, std::shared_ptr<HostSettingsStore> store,
                   std::vector<std::string> arguments, bool installed);

// The application mode: the single-instance check, the stored settings with
// the command line applied, then the tray application.
int runApplication(const std::vector<std::string>& arguments, bool installed);

}  // namespace lumenrail

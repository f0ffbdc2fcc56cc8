#pragma once

// The tray application: the Qt application object, the controller with its
// ports on Qt and the Linux desktop, and the main loop on this thread until
// the user quits or SIGINT, SIGTERM or SIGHUP arrives; serving is stopped
// before it returns.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settings/HostSettings.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail {

// Returns the exit status. Call before any thread is started: the stop
// signals are blocked in every thread and read by the main loop.
int runMenuBarHost(const HostSettings& settings, std::shared_ptr<HostSettingsStore> store,
                   std::vector<std::string> arguments, bool installed);

// One tray application per user, whichever way it was started: takes the
// instance lock for the rest of the process, or asks the running instance to
// show itself and gives the exit status (0). Before the log is redirected, so
// a second start from a terminal says so there.
std::optional<int> claimInstance();

// The application mode: the stored settings with the command line applied,
// then the tray application.
int runApplication(const std::vector<std::string>& arguments, bool installed);

}  // namespace lumenrail

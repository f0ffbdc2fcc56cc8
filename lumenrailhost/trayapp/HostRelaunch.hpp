#pragma once

// The one way the tray application starts itself again (the settings' new
// language, the setup's capture grant): once everything it started has
// stopped, this program takes the place of this process.

#include <string>
#include <vector>

#include "platform/Log.hpp"

namespace lumenrail::HostRelaunch {

// Runs this executable again with `arguments` (argv[0] first) in place of this
// process, with no signal blocked: the instance lock closes on exec, so the
// new image takes it again.
// Returns only when that failed, said in the log.
void execAgain(std::vector<std::string> arguments, const Log::Sink& log = Log::line);

}  // namespace lumenrail::HostRelaunch

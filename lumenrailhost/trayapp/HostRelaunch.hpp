#pragma once

#include <functional>

#include "platform/Log.hpp"

namespace lumenrail::HostRelaunch {

// Starts this program again once this process has exited, then calls `quit`
// (whether or not the start could be set up).
void relaunch(const std::function<void()>& quit, const Log::Sink& log = Log::line);

}  // namespace lumenrail::HostRelaunch

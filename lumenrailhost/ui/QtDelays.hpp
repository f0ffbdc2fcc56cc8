#pragma once

// Delayed calls on the GUI thread's event loop, for the windows' timed states.

#include "WindowPorts.hpp"

namespace lumenrail {

DelayFactory qtDelays();

}  // namespace lumenrail

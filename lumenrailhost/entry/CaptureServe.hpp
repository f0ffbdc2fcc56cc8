#pragma once

// The "--m2" mode: capture serve without a user interface until SIGINT,
// SIGTERM or SIGHUP.

#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.hpp"
#include "session/ServeSwitches.hpp"
#include "settings/HostSettings.hpp"

namespace lumenrail {

// Serves until SIGINT, SIGTERM or SIGHUP, then stops serving (the virtual
// display goes with it) within about 5 s, even when the display server does
// not answer. Returns the exit status: 0 after a signal, 2 when serving could not
// start; a stop that cannot finish in time ends the process with 1. Blocks
// these signals in every thread; call it before any thread is started. `psk`
// seals Wi-Fi links when set; `switches` are the session's, read by the entry.
int runCaptureServe(const HostSettings& settings, std::optional<Bytes> psk, ServeSwitches switches);

}  // namespace lumenrail

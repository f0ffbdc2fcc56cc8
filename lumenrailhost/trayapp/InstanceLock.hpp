#pragma once

// One application instance per user: an advisory lock on a file in
// $XDG_RUNTIME_DIR (the state folder where that is not set), held for the
// life of the process. The holder's process id is written into the file so
// the next instance can name it. The descriptor is closed on exec, so a
// relaunched instance never inherits the old one's lock.

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/ProcessEnvironment.hpp"

namespace lumenrail::InstanceLock {

// "$XDG_RUNTIME_DIR/lumenrail-host.lock", else "<state>/Lumenrail/host.lock".
std::string path(const Environment& env = processEnvironment());

struct Result {
  bool held = false;             // this process holds the lock now
  std::optional<pid_t> holder;   // the other instance, when one holds it
  std::string error;             // why neither could be told
};

// Takes the lock for the rest of the process's life (the descriptor is kept open).
Result acquire(const std::string& lockPath);

}  // namespace lumenrail::InstanceLock

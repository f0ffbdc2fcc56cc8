#pragma once

// One application instance per user: an advisory lock on a file in
// $XDG_RUNTIME_DIR (the state folder where that is not set or not ours
// alone), held for the life of the process. The holder's process id is
// written into the file so the next instance can name it. The descriptor is
// closed on exec, so a relaunched instance never inherits the old one's lock.
// A lock that another user could have made is never obeyed: in a shared
// folder (mode 1777) anyone could claim to be our running instance.

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/ProcessEnvironment.hpp"

namespace lumenrail::InstanceLock {

// "$XDG_RUNTIME_DIR/lumenrail-host.lock" when that folder is this user's
// alone (owned by us, writable by no one else), else
// "<state>/Lumenrail/host.lock".
std::string path(const Environment& env = processEnvironment());
// Why $XDG_RUNTIME_DIR was passed over; empty when it is used or not set.
std::string runtimeFolderRefusal(const Environment& env = processEnvironment());

struct Result {
  bool held = false;             // this process holds the lock now
  std::optional<pid_t> holder;   // the other instance, when one holds it
  std::string error;             // why neither could be told
};

// Takes the lock for the rest of the process's life (the descriptor is kept
// open). Its folder is made 0700 (or must be ours already); a lock file that
// is not ours is an error, never a holder.
Result acquire(const std::string& lockPath);

}  // namespace lumenrail::InstanceLock

#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/NamedThread.hpp"

namespace lumenrail {

struct ChildProcessesState;

// The programs the host starts. Each child is watched through a pidfd by one
// reaper thread, which reaps it as soon as it ends, so no zombie stays behind
// and nothing blocks the caller. Destruction wakes and joins the reaper at
// once: a child still running then is no longer watched.
class ChildProcesses final {
 public:
  // The child's exit status; nothing when a signal ended it.
  using Exited = std::function<void(std::optional<int> status)>;

  ChildProcesses();
  ~ChildProcesses();
  ChildProcesses(const ChildProcesses&) = delete;
  ChildProcesses& operator=(const ChildProcesses&) = delete;

  // Starts `argv` (argv[0] looked up on PATH) with this process's environment
  // and standard streams. Returns the child's pid, or nothing when it could
  // not start (a program that does not exist among them). `exited` runs on the
  // reaper thread once the child has been reaped.
  std::optional<pid_t> start(const std::vector<std::string>& argv, Exited exited = nullptr);

 private:
  std::shared_ptr<ChildProcessesState> state_;
  NamedThread reaper_;
};

}  // namespace lumenrail

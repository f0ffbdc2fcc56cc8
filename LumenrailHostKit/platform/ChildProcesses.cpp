#include "platform/ChildProcesses.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/Log.hpp"

extern char** environ;

namespace lumenrail {

struct ChildProcessesState {
  struct Child {
    pid_t pid = -1;
    int pidfd = -1;
    ChildProcesses::Exited exited;
  };

  std::mutex mutex;
  std::vector<Child> children;
  bool stopping = false;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

  ~ChildProcessesState() {
    for (const auto& child : children) ::close(child.pidfd);
    if (wake >= 0) ::close(wake);
  }

  void nudge() const {
    const uint64_t one = 1;
    while (::write(wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  void run() {
    std::vector<pollfd> fds;
    for (;;) {
      fds.clear();
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
        fds.push_back({wake, POLLIN, 0});
        for (const auto& child : children) fds.push_back({child.pidfd, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        Log::line("[process] WARN: the reaper stopped (poll failed)");
        return;
      }
      if (fds[0].revents != 0) {
        uint64_t count = 0;
        while (::read(wake, &count, sizeof count) < 0 && errno == EINTR) {
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents != 0) reap(fds[i].fd);
      }
    }
  }

  void reap(int pidfd) {
    Child child;
    {
      std::lock_guard lock(mutex);
      auto found = std::find_if(children.begin(), children.end(), [&](const Child& c) { return c.pidfd == pidfd; });
      if (found == children.end()) return;
      child = std::move(*found);
      children.erase(found);
    }
    ::close(child.pidfd);
    int status = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(child.pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    std::optional<int> code;
    // ECHILD: SIGCHLD is ignored and the kernel reaped it already.
    if (reaped == child.pid && WIFEXITED(status)) code = WEXITSTATUS(status);
    if (child.exited) child.exited(code);
  }
};

ChildProcesses::ChildProcesses()
    : state_(std::make_shared<ChildProcessesState>()),
      reaper_("lumenrail-reaper", [state = state_] { state->run(); }) {}

ChildProcesses::~ChildProcesses() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->nudge();
  // The reaper blocks only in poll, which the nudge ends; from its own
  // callback it cannot join itself and ends on its own.
  if (!reaper_.isCurrent()) reaper_.join();
}

std::optional<pid_t> ChildProcesses::start(const std::vector<std::string>& argv, Exited exited) {
  if (argv.empty() || state_->wake < 0) return std::nullopt;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return std::nullopt;
  // A child that has already ended is a zombie until reaped, so its pidfd
  // still opens and reads as ended.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    Log::line("[process] WARN: cannot watch child " + std::to_string(pid) + " (no pidfd); it is not reaped");
    return pid;
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->children.push_back({pid, pidfd, std::move(exited)});
  }
  state_->nudge();
  return pid;
}

}  // namespace lumenrail

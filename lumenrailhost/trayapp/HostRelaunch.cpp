#include "trayapp/HostRelaunch.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "app/controller/HostPermissions.hpp"
#include "platform/ChildProcesses.hpp"
#include "platform/Paths.hpp"

namespace lumenrail::HostRelaunch {

void relaunch(const std::function<void()>& quit, const Log::Sink& log) {
  std::error_code ec;
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  int fds[2];
  bool started = false;
  if (!ec && ::pipe2(fds, O_CLOEXEC) == 0) {
    // The write side stays open until this process ends: its close is the signal.
    started = ChildProcesses::startWhenClosed(HostPermissions::relaunchCommand(exe, Paths::runningInstalled()), fds[0]);
    if (!started) ::close(fds[1]);
  }
  if (!started && log) log("[setup] WARN: the relaunch could not be set up");
  if (quit) quit();
}

}  // namespace lumenrail::HostRelaunch

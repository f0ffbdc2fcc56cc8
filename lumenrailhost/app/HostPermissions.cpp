#include "HostPermissions.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "input/InputPermission.hpp"
#include "platform/Paths.hpp"
#include "platform/X11Display.hpp"

namespace lumenrail::HostPermissions {

bool LinuxProbe::screenCapture() {
  try {
    auto display = X11Display::open("");
    X11ScreenGrabber grabber(display);
    grabber.grab(0, 0, 1, 1);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool LinuxProbe::mayPostInput() { return InputPermission::mayPostInput(""); }

void openPrivacyPane(const std::string& anchor, const Log::Sink& log) {
  std::string meaning = "nothing to grant";
  if (anchor == "Privacy_ScreenCapture") meaning = "screen capture needs an X display this user may open and read";
  if (anchor == "Privacy_Accessibility") meaning = "input needs a writable /dev/uinput or XTest on the display";
  if (log) log("[setup] no privacy settings to open on Linux (" + anchor + "): " + meaning);
}

std::vector<std::string> relaunchCommand(const std::string& executable, bool installed) {
  std::vector<std::string> command{executable};
  if (!installed) command.push_back("--app");
  return command;
}

bool startWhenClosed(const std::vector<std::string>& command, int exitPipeReadFd) {
  if (command.empty()) {
    ::close(exitPipeReadFd);
    return false;
  }
  // Everything the children touch is made before fork: they run only
  // async-signal-safe calls until exec.
  std::vector<char*> argv;
  for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);

  const pid_t first = ::fork();
  if (first < 0) {
    ::close(exitPipeReadFd);
    return false;
  }
  if (first == 0) {
    // The waiter is a grandchild, so nobody has to reap it.
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    ::dup2(exitPipeReadFd, 3);
    // Holds no copy of the write side or of the old instance's sockets.
    ::syscall(SYS_close_range, 4U, ~0U, 0U);
    char byte;
    while (true) {
      const ssize_t n = ::read(3, &byte, 1);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    ::close(3);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(exitPipeReadFd);
  int status = 0;
  while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void relaunch(const std::function<void()>& quit, const Log::Sink& log) {
  std::error_code ec;
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  int fds[2];
  bool started = false;
  if (!ec && ::pipe2(fds, O_CLOEXEC) == 0) {
    // The write side stays open until this process ends: its close is the signal.
    started = startWhenClosed(relaunchCommand(exe, Paths::runningInstalled()), fds[0]);
    if (!started) ::close(fds[1]);
  }
  if (!started && log) log("[setup] WARN: the relaunch could not be set up");
  if (quit) quit();
}

}  // namespace lumenrail::HostPermissions

#include "support/PrivateSessionBus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "support/Waiting.hpp"

namespace lumenrail::test {

namespace {
constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr int kStartTimeoutMs = 20000;
}  // namespace

PrivateSessionBus::PrivateSessionBus() {
  if (::access(kDaemon, X_OK) != 0) {
    whyNot_ = std::string(kDaemon) + " is not installed";
    return;
  }
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    whyNot_ = "pipe failed";
    return;
  }
  std::vector<std::string> args = {kDaemon, "--session", "--nofork", "--nopidfile", "--print-address=3"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes leaves no daemon behind
    ::dup2(ready[1], 3);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execv(kDaemon, argv.data());
    ::_exit(127);
  }
  ::close(ready[1]);
  if (pid < 0) {
    ::close(ready[0]);
    whyNot_ = "fork failed";
    return;
  }
  // The daemon prints its address once it accepts connections.
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (text.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{ready[0], POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[256];
    const ssize_t n = ::read(ready[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(ready[0]);
  const size_t end = text.find('\n');
  if (end == std::string::npos || end == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    whyNot_ = "dbus-daemon printed no address";
    return;
  }
  pid_ = pid;
  address_ = text.substr(0, end);
}

void PrivateSessionBus::pause() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGSTOP);
  // Stopped for certain before anything is sent to it.
  const std::string stat = "/proc/" + std::to_string(pid_) + "/stat";
  eventually([&] {
    std::ifstream in(stat);
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T';
  });
}

PrivateSessionBus::~PrivateSessionBus() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGCONT);
  ::kill(pid_, SIGTERM);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace lumenrail::test

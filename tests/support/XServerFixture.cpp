#include "support/XServerFixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace lumenrail::test {

namespace {
constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr int kStartTimeoutMs = 20000;
}  // namespace

PrivateXServer::PrivateXServer() : PrivateXServer(Options{}) {}

PrivateXServer::PrivateXServer(Options options) { start(options); }

XServerProcess launchXServer(const std::string& binary, const std::vector<std::string>& arguments, int timeoutMs) {
  XServerProcess result;
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return result;
  std::vector<std::string> args = {binary, "-displayfd", "3"};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return result;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes leaves no process behind
    // The child: hand the write end over as descriptor 3 and become the server.
    ::dup2(ready[1], 3);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(ready[1]);
  // The server writes its display number once it accepts connections.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{ready[0], POLLIN, 0};
    const int r = ::poll(&p, 1, int(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[16];
    const ssize_t n = ::read(ready[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    number.append(buf, size_t(n));
    if (number.find('\n') != std::string::npos) break;
  }
  ::close(ready[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (number.empty()) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return result;
  }
  result.pid = pid;
  result.display = ":" + number;
  return result;
}

void stopXServer(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  // Bounded: a server that ignores SIGTERM is killed after 5 s.
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    ::usleep(10'000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

void PrivateXServer::start(const Options& options) {
  if (::access(kXvfb, X_OK) != 0) {
    whyNot_ = std::string(kXvfb) + " is not installed (Debian package xvfb)";
    return;
  }
  const std::string screen =
      std::to_string(options.width) + "x" + std::to_string(options.height) + "x" + std::to_string(options.depth);
  const XServerProcess x =
      launchXServer(kXvfb, {"-screen", "0", screen, "-nolisten", "tcp", "-noreset", "+extension", "RANDR"},
                    kStartTimeoutMs);
  if (x.pid <= 0) {
    whyNot_ = "Xvfb did not report a display within 20 s";
    return;
  }
  pid_ = x.pid;
  display_ = x.display;
}

PrivateXServer::~PrivateXServer() { stopXServer(pid_); }

}  // namespace lumenrail::test

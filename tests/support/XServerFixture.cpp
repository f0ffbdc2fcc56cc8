#include "support/XServerFixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

void PrivateXServer::start(const Options& options) {
  if (::access(kXvfb, X_OK) != 0) {
    whyNot_ = std::string(kXvfb) + " is not installed (Debian package xvfb)";
    return;
  }
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    whyNot_ = "pipe failed";
    return;
  }
  const std::string screen =
      std::to_string(options.width) + "x" + std::to_string(options.height) + "x" + std::to_string(options.depth);
  const pid_t pid = ::fork();
  if (pid < 0) {
    whyNot_ = "fork failed";
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  if (pid == 0) {
    // The child: hand the write end over as descriptor 3 and become the server.
    ::dup2(ready[1], 3);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execl(kXvfb, "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp", "-noreset",
            "+extension", "RANDR", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  pid_ = pid;
  // The server writes its display number once it accepts connections.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
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
    whyNot_ = "Xvfb did not report a display within 20 s";
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return;
  }
  display_ = ":" + number;
}

PrivateXServer::~PrivateXServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  // Bounded: a server that ignores SIGTERM is killed after 5 s.
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    ::usleep(10'000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace lumenrail::test

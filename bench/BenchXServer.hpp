#pragma once

// A private Xvfb for the benchmarks, on a display number it picks itself
// (-displayfd); by default big enough for both stream sizes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace lumenrail {

class BenchXServer {
 public:
  explicit BenchXServer(int width = 2732, int height = 2048) {
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
      whyNot_ = "Xvfb is not installed (Debian package xvfb)";
      return;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
      whyNot_ = "pipe failed";
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(ready[1], 3);
      const int devnull = ::open("/dev/null", O_RDWR);
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp",
              "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(ready[1]);
    std::string number;
    pollfd p{ready[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
      char buf[16];
      const ssize_t n = ::read(ready[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, size_t(n));
    }
    ::close(ready[0]);
    while (!number.empty() && number.back() == '\n') number.pop_back();
    if (number.empty()) {
      whyNot_ = "Xvfb did not report a display";
      return;
    }
    display_ = ":" + number;
  }
  ~BenchXServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& display() const { return display_; }
  const std::string& whyNot() const { return whyNot_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string whyNot_;
};

}  // namespace lumenrail

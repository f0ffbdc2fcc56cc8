#include "support/DummyXorgFixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#ifndef LUMENRAIL_SOURCE_DIR
#error "LUMENRAIL_SOURCE_DIR must name the source tree"
#endif

namespace lumenrail::test {

namespace {
constexpr const char* kXorg = "/usr/lib/xorg/Xorg";
constexpr const char* kDummyDriver = "/usr/lib/xorg/modules/drivers/dummy_drv.so";
constexpr int kStartTimeoutMs = 30000;

std::string tail(const std::string& path, size_t maxLines) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) {
    if (l.find("(EE)") != std::string::npos) lines.push_back(l);
  }
  std::string out;
  for (size_t i = lines.size() > maxLines ? lines.size() - maxLines : 0; i < lines.size(); ++i) out += lines[i] + "\n";
  return out;
}
}  // namespace

DummyXorgServer::DummyXorgServer() { start(); }

void DummyXorgServer::start() {
  if (::access(kXorg, X_OK) != 0 || ::access(kDummyDriver, R_OK) != 0) {
    whyNot_ = "Xorg with the dummy driver is not installed (Debian packages xserver-xorg-core, xserver-xorg-video-dummy)";
    return;
  }
  char pattern[] = "/tmp/lumenrail-xorg-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    whyNot_ = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  const std::string config = std::string(LUMENRAIL_SOURCE_DIR) + "/resources/xorg-dummy.conf";
  const std::string logFile = dir_ + "/Xorg.log";
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    whyNot_ = "pipe failed";
    return;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    whyNot_ = "fork failed";
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  if (pid == 0) {
    ::dup2(ready[1], 3);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execl(kXorg, "Xorg", "-displayfd", "3", "-config", config.c_str(), "-noreset", "-nolisten", "tcp", "-logfile",
            logFile.c_str(), "-novtswitch", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  pid_ = pid;
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
    // Typically: not allowed without a console (Xwrapper), or -config refused for a non-root user.
    whyNot_ = "Xorg with the dummy driver did not start within 30 s; errors from its log:\n" + tail(logFile, 5);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return;
  }
  display_ = ":" + number;
}

DummyXorgServer::~DummyXorgServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
      gone = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!gone) ::usleep(10'000);
    }
    if (!gone) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

}  // namespace lumenrail::test

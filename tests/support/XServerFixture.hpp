#pragma once

// A private X server for tests: Xvfb on a free display number, chosen by the
// server itself (-displayfd), listening on its Unix socket only.

#include <sys/types.h>

#include <string>
#include <vector>

namespace lumenrail::test {

// Starts an X server binary whose arguments follow `argv[0]`; "-displayfd 3"
// is added, and the display it reports within `timeoutMs` is returned with
// its process id. On failure the process is gone and `pid` is -1.
struct XServerProcess {
  pid_t pid = -1;
  std::string display;  // ":N"
};
XServerProcess launchXServer(const std::string& binary, const std::vector<std::string>& arguments, int timeoutMs);
// SIGTERM, then SIGKILL after 5 s.
void stopXServer(pid_t pid);

class PrivateXServer {
 public:
  struct Options {
    int width = 1920;
    int height = 1080;
    int depth = 24;
  };

  PrivateXServer();  // 1920x1080x24
  explicit PrivateXServer(Options options);
  ~PrivateXServer();
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  // False when the server could not start; `whyNot()` says why (for GTEST_SKIP).
  bool running() const { return pid_ > 0; }
  const std::string& whyNot() const { return whyNot_; }
  // ":N", for xcb_connect and the DISPLAY variable.
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  void start(const Options& options);
  pid_t pid_ = -1;
  std::string display_;
  std::string whyNot_;
};

}  // namespace lumenrail::test

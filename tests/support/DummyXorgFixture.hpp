#pragma once

// A private headless Xorg with the dummy video driver (resources/xorg-dummy.conf):
// unlike Xvfb its screen can grow, so virtual displays can be added. Started
// as the current user on a display number it picks itself (-displayfd), Unix
// socket only, with its log in a private temporary directory.

#include <sys/types.h>

#include <string>

namespace lumenrail::test {

class DummyXorgServer {
 public:
  DummyXorgServer();
  ~DummyXorgServer();
  DummyXorgServer(const DummyXorgServer&) = delete;
  DummyXorgServer& operator=(const DummyXorgServer&) = delete;

  // False when it could not start; `whyNot()` says why (for GTEST_SKIP).
  bool running() const { return pid_ > 0; }
  const std::string& whyNot() const { return whyNot_; }
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  void start();
  pid_t pid_ = -1;
  std::string display_;
  std::string whyNot_;
  std::string dir_;
};

// How many of the X server's RandR modes carry the mark a host names its modes
// with; -1 when the server does not answer.
int hostModeCount(const std::string& display);

}  // namespace lumenrail::test

#pragma once

// A private X server for tests: Xvfb on a free display number, chosen by the
// server itself (-displayfd), listening on its Unix socket only.

#include <sys/types.h>

#include <string>

namespace lumenrail::test {

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

 private:
  void start(const Options& options);
  pid_t pid_ = -1;
  std::string display_;
  std::string whyNot_;
};

}  // namespace lumenrail::test

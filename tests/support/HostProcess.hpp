#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lumenrail::test {

// The built program run from outside, as a user runs it: standard output and
// error read back by the test, standard input a pipe the test types into.
class HostProcess {
 public:
  // `env` entries ("NAME=value") replace the test's own of the same name.
  HostProcess(const std::string& binary, const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

  void type(const std::string& text) const;
  // Reads output until `needle` has shown or the output ends.
  bool waitFor(const std::string& needle, uint64_t timeoutNs = 30'000'000'000);
  // Reads to the end of the output, then reaps the program: its exit status, or -1.
  int waitExit(uint64_t timeoutNs = 60'000'000'000);
  int terminate();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string output_;
};

}  // namespace lumenrail::test

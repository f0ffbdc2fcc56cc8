#include "support/HostProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

#include "platform/Clock.hpp"

extern char** environ;

namespace lumenrail::test {

namespace {

std::string_view nameOf(std::string_view entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

HostProcess::HostProcess(const std::string& binary, const std::vector<std::string>& args,
                         const std::vector<std::string>& env) {
  int output[2];
  int input[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return;
  if (::pipe2(input, O_CLOEXEC) != 0) {
    ::close(output[0]);
    ::close(output[1]);
    return;
  }
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const auto& mine : env) replaced = replaced || nameOf(mine) == nameOf(*e);
    if (!replaced) entries.emplace_back(*e);
  }
  entries.insert(entries.end(), env.begin(), env.end());
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : entries) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes leaves no process behind
    ::dup2(input[0], 0);
    ::dup2(output[1], 1);
    ::dup2(output[1], 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(output[1]);
  ::close(input[0]);
  out_ = output[0];
  in_ = input[1];
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) ::close(out_);
  if (in_ >= 0) ::close(in_);
}

void HostProcess::type(const std::string& text) const {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::write(in_, text.data() + sent, text.size() - sent);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

bool HostProcess::waitFor(const std::string& needle, uint64_t timeoutNs) {
  const uint64_t deadline = uptimeNs() + timeoutNs;
  while (output_.find(needle) == std::string::npos) {
    const uint64_t now = uptimeNs();
    if (now >= deadline || out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>((deadline - now) / 1'000'000) + 1) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

int HostProcess::waitExit(uint64_t timeoutNs) {
  if (pid_ <= 0) return -1;
  const uint64_t deadline = uptimeNs() + timeoutNs;
  // The output ends when the program does; a program still running at the
  // deadline is killed, so a hang fails the test instead of stalling it.
  waitFor("\x01 never printed", timeoutNs);
  int status = 0;
  pid_t reaped = 0;
  while ((reaped = ::waitpid(pid_, &status, WNOHANG)) == 0 && uptimeNs() < deadline) {
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 10);
  }
  if (reaped == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  pid_ = -1;
  return reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int HostProcess::terminate() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  return waitExit();
}

}  // namespace lumenrail::test

#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>

namespace lumenrail::test {

pid_t spawnLogged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& logPath, bool appendLog, bool tiedToTest) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (tiedToTest) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the test died before the tie was made
  }
  const int log =
      ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (appendLog ? O_APPEND : O_TRUNC), 0600);
  if (log >= 0) {
    ::dup2(log, 1);
    ::dup2(log, 2);
  }
  const int devnull = ::open("/dev/null", O_RDONLY);
  if (devnull >= 0) ::dup2(devnull, 0);
  for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

}  // namespace lumenrail::test

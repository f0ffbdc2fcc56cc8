// The relaunch runs this very executable again, in place of the process,
// with the command line it is given: a child of the test becomes this test
// program listing its own tests.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "trayapp/HostRelaunch.hpp"

namespace lumenrail {
namespace {

TEST(HostRelaunch, RunsThisExecutableAgainWithTheGivenArguments) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    HostRelaunch::execAgain({"relaunched", "--gtest_list_tests", "--gtest_filter=HostRelaunch.*"}, {});
    ::_exit(3);  // the exec failed
  }
  ::close(out[1]);
  std::string listed;
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    listed.append(buffer, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(listed.find("RunsThisExecutableAgainWithTheGivenArguments"), std::string::npos) << listed;
}

}  // namespace
}  // namespace lumenrail

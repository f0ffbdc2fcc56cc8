// Starting programs: every child is reaped with its status, a program that
// does not exist is a failure, the destructor leaves no thread and never waits
// for a child.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/ChildProcesses.hpp"
#include "platform/OneShotEvent.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

// This process's threads that carry the reaper's OS name (counting every
// thread would also count the ones a sanitizer starts when it likes).
size_t reapers() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == "reaper") ++n;
  }
  return n;
}

TEST(ChildProcesses, ReapsEachChildWithItsStatusAndTheDestructorNeitherWaitsNorLeavesAThread) {
  std::optional<pid_t> lingering;
  {
    ChildProcesses children;
    EXPECT_FALSE(children.start({"/nonexistent/lumenrail-program"}, [](std::optional<int>) { ADD_FAILURE(); }));
    EXPECT_FALSE(children.start({}));

    OneShotEvent done;
    std::optional<int> status;
    const auto pid = children.start({"sh", "-c", "exit 3"}, [&](std::optional<int> s) {
      status = s;
      done.signal();
    });
    ASSERT_TRUE(pid.has_value());
    ASSERT_TRUE(done.waitFor(test::kDeadlineNs));
    EXPECT_EQ(status, 3);
    EXPECT_EQ(reapers(), 1u);  // named by now: it has run the callback
    // Reaped: no zombie is left for anyone to wait for.
    EXPECT_EQ(::waitpid(*pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    // Still running when the helper goes: not waited for.
    lingering = children.start({"sleep", "600"}, [](std::optional<int>) { ADD_FAILURE(); });
    ASSERT_TRUE(lingering.has_value());
  }
  EXPECT_EQ(reapers(), 0u);
  ::kill(*lingering, SIGKILL);
  EXPECT_EQ(::waitpid(*lingering, nullptr, 0), *lingering);
}

}  // namespace
}  // namespace lumenrail

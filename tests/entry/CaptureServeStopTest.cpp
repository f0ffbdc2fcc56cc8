// The capture serve stopped the hard ways: killed, so that only the next start
// can clean up after it, and asked to stop while its X server does not answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "platform/CReply.hpp"
#include "platform/Clock.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/HostProcess.hpp"

namespace lumenrail {
namespace {

const std::vector<std::string> kExtend = {"--m2", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"};

test::HostProcess serve(const std::string& display) {
  return test::HostProcess(LUMENRAILHOST_BINARY, kExtend, {"DISPLAY=" + display});
}

std::vector<X11Monitor> monitorsOf(const std::string& display) { return X11Display::open(display)->monitors(); }

TEST(M2StopAcceptance, ADisplayLeftByAKilledRunIsRemovedAtTheNextStartAndAnotherProgramsIsNot) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  const auto before = monitorsOf(x.display());
  {
    auto killed = serve(x.display());
    ASSERT_TRUE(killed.waitFor("[m2] capturing + serving 320x240@30")) << killed.output();
    ::kill(killed.pid(), SIGKILL);
    killed.waitExit();
  }
  ASSERT_EQ(monitorsOf(x.display()).size(), before.size() + 1);
  ASSERT_GT(test::hostModeCount(x.display()), 0);
  {
    auto next = serve(x.display());
    ASSERT_TRUE(next.waitFor("[m2] capturing + serving 320x240@30")) << next.output();
    EXPECT_NE(next.output().find("[vd] removed a virtual display left by an earlier run"), std::string::npos)
        << next.output();
    EXPECT_NE(next.output().find("created (320x240@30)"), std::string::npos) << next.output();
    EXPECT_EQ(monitorsOf(x.display()).size(), before.size() + 1);
    EXPECT_EQ(next.terminate(), 0) << next.output();
  }
  EXPECT_EQ(monitorsOf(x.display()), before);
  EXPECT_EQ(test::hostModeCount(x.display()), 0);

  // A monitor of the same name that carries no mark of ours belongs to
  // another program, even with its maker gone: the host mirrors instead.
  {
    auto other = X11DisplayConfiguration::open(x.display());
    std::string failure;
    const auto id = other->addVirtualDisplay({"Lumenrail Display", 320, 240, 60, 85, 64, 320, 240}, failure);
    ASSERT_TRUE(id && *id != 0) << failure;
    auto d = X11Display::open(x.display());
    ownReply(xcb_request_check(d->connection(),
                               xcb_delete_property_checked(d->connection(), d->root(),
                                                           d->internAtom("_LUMENRAIL_DISPLAY Lumenrail Display"))));
  }
  const auto foreign = monitorsOf(x.display());
  ASSERT_EQ(foreign.size(), before.size() + 1);
  {
    auto host = serve(x.display());
    ASSERT_TRUE(host.waitFor("[m2] capturing + serving 320x240@30")) << host.output();
    EXPECT_NE(host.output().find("falling back to main display capture"), std::string::npos) << host.output();
    EXPECT_EQ(host.output().find("[vd] removed"), std::string::npos) << host.output();
    EXPECT_EQ(host.terminate(), 0) << host.output();
  }
  EXPECT_EQ(monitorsOf(x.display()), foreign);
}

// Resumes the server whatever the test does.
struct Stopped {
  explicit Stopped(pid_t p) : pid(p) { ::kill(pid, SIGSTOP); }
  ~Stopped() { ::kill(pid, SIGCONT); }
  pid_t pid;
};

TEST(M2StopAcceptance, SigintEndsTheProcessWhileTheXServerDoesNotAnswer) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  {
    auto host = serve(x.display());
    ASSERT_TRUE(host.waitFor("[m2] capturing + serving 320x240@30")) << host.output();
    Stopped frozen(x.pid());
    const uint64_t asked = uptimeNs();
    ::kill(host.pid(), SIGINT);
    // Generous: only a process that never ends fails here. It is told to end
    // within about 5 s; the figure is printed, not judged.
    const int status = host.waitExit(60'000'000'000);
    std::printf("exited %.2f s after SIGINT with the X server stopped\n", double(uptimeNs() - asked) / 1e9);
    EXPECT_NE(status, -1) << "still running a minute after SIGINT\n" << host.output();
    EXPECT_NE(host.output().find("[m2] SIGINT — stopping"), std::string::npos) << host.output();
  }
  // Whatever the stuck stop left, the next start extends again and its stop
  // leaves nothing of ours.
  auto next = serve(x.display());
  ASSERT_TRUE(next.waitFor("[m2] capturing + serving 320x240@30")) << next.output();
  EXPECT_NE(next.output().find("created (320x240@30)"), std::string::npos) << next.output();
  EXPECT_EQ(next.terminate(), 0) << next.output();
  EXPECT_EQ(test::hostModeCount(x.display()), 0);
}

}  // namespace
}  // namespace lumenrail

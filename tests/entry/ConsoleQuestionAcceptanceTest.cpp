// "--m2 --pair" started from an interactive shell with job control, as a user
// starts it: in the background ("&") a device that asks to pair is refused as
// with no console and the host goes on; brought to the foreground it asks and
// the owner answers, and sent back to the background while asking (Ctrl-Z,
// bg) it refuses. The
// terminal never stops it, not even under "stty tostop".
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "support/PairingClient.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

// bash on a terminal of its own, typed into and read from like a terminal window.
class Shell {
 public:
  explicit Shell(const std::vector<std::string>& env) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      for (const std::string& e : env) ::putenv(::strdup(e.c_str()));
      ::execl("/bin/bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Shell() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  bool started() const { return pid_ > 0; }
  void type(const std::string& keys) { EXPECT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
  // Reads what the terminal shows until `needle` has shown `times` times.
  bool shows(const std::string& needle, int times = 1) {
    return test::eventually([&] {
      pollfd p{master_, POLLIN, 0};
      char buf[4096];
      ssize_t n = 0;
      while (::poll(&p, 1, 10) == 1 && (n = ::read(master_, buf, sizeof buf)) > 0) screen_.append(buf, size_t(n));
      int seen = 0;
      for (size_t at = screen_.find(needle); at != std::string::npos; at = screen_.find(needle, at + 1)) ++seen;
      return seen >= times;
    }, 3 * test::kDeadlineNs);
  }
  const std::string& screen() const { return screen_; }
  // The terminal's foreground process group, as its master side reads it.
  pid_t foreground() const { return ::tcgetpgrp(master_); }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string screen_;
};

// The process's state letter in /proc ('T' stopped), or 0 once it is gone.
char stateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end = all.rfind(')');
  return end == std::string::npos || end + 2 >= all.size() ? 0 : all[end + 2];
}

TEST(ConsoleQuestionAcceptance, ABackgroundedHostRefusesNewDevicesAndIsNeverStoppedByItsTerminal) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::TempPairingFolder home("lumenrail-m2-jobs");
  const std::string root = home.root().string();
  Shell shell({"HOME=" + root, "XDG_DATA_HOME=" + root, "DISPLAY=" + x.display(), "PS1=$ ", "TERM=dumb"});
  ASSERT_TRUE(shell.started());
  shell.type(std::string(LUMENRAILHOST_BINARY) +
             " --m2 --pair --capture-main --port 0 --width 320 --height 240 --fps 30 &\necho \"pid=$!\"\n");
  ASSERT_TRUE(shell.shows("Ctrl-C to stop")) << shell.screen();
  std::smatch found;
  ASSERT_TRUE(std::regex_search(shell.screen(), found, std::regex(R"(pid=([0-9]+))"))) << shell.screen();
  const pid_t host = std::stoi(found[1]);
  ASSERT_TRUE(std::regex_search(shell.screen(), found, std::regex(R"(\[m2\] capturing \+ serving.* on :([0-9]+))")));
  const auto port = uint16_t(std::stoi(found[1]));

  // Asked while in the background: refused without a question.
  {
    test::PairingClient device(port, "Pad", true, Ed25519PrivateKey::generate(), INADDR_LOOPBACK + 1);
    ASSERT_TRUE(device.prove());
    EXPECT_TRUE(device.waitClosed());
    EXPECT_TRUE(shell.shows("[pair] no console input — denied")) << shell.screen();
    EXPECT_EQ(shell.screen().find("NEW DEVICE"), std::string::npos) << shell.screen();
    EXPECT_NE(stateOf(host), 'T');
  }
  // In the foreground it asks and the owner answers.
  shell.type("fg\n");
  ASSERT_TRUE(test::eventually([&] { return shell.foreground() == ::getpgid(host); })) << shell.screen();
  {
    test::PairingClient device(port, "Pad", true, Ed25519PrivateKey::generate(), INADDR_LOOPBACK + 2);
    ASSERT_TRUE(device.prove());
    ASSERT_TRUE(shell.shows("Allow? [y/N] ")) << shell.screen();
    shell.type("y\n");
    device.keyPaired();
    EXPECT_TRUE(device.readSealed().has_value()) << shell.screen();
  }
  // Sent to the background while asking, it refuses.
  test::PairingClient device(port, "Tab", true, Ed25519PrivateKey::generate(), INADDR_LOOPBACK + 3);
  ASSERT_TRUE(device.prove());
  ASSERT_TRUE(shell.shows("Allow? [y/N] ", 2)) << shell.screen();
  shell.type("\x1a");
  ASSERT_TRUE(shell.shows("Stopped")) << shell.screen();
  shell.type("bg\n");
  EXPECT_TRUE(device.waitClosed());
  EXPECT_TRUE(shell.shows("[pair] no console input — denied", 2)) << shell.screen();
  EXPECT_NE(stateOf(host), 'T') << shell.screen();
  // Where background jobs may not write to the terminal, the host's lines still do.
  shell.type("stty tostop; echo tostop-$((1+1))\n");
  ASSERT_TRUE(shell.shows("tostop-2")) << shell.screen();
  test::PairingClient late(port, "Pad", true, Ed25519PrivateKey::generate(), INADDR_LOOPBACK + 4);
  ASSERT_TRUE(late.prove());
  EXPECT_TRUE(late.waitClosed());
  EXPECT_TRUE(shell.shows("[pair] no console input — denied", 3)) << shell.screen();
  EXPECT_NE(stateOf(host), 'T') << shell.screen();
  ::kill(host, SIGTERM);
  const auto gone = [&] { return stateOf(host) == 0 || stateOf(host) == 'Z'; };
  EXPECT_TRUE(test::eventually(gone)) << shell.screen();
  if (!gone()) ::kill(host, SIGKILL);
}

}  // namespace
}  // namespace lumenrail

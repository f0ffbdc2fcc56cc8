// The command line as a newcomer meets it, on the built program: the usage
// text, refusals before anything starts, the port a serve really holds.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/HostProcess.hpp"
#include "support/PortBlocker.hpp"
#include "support/PrivateAvahi.hpp"
#include "support/TempFolder.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

// No display to reach: whatever touched one would say so.
const std::vector<std::string> kNoDisplay = {"DISPLAY=:987654", "WAYLAND_DISPLAY="};

std::pair<int, std::string> run(const std::vector<std::string>& args) {
  test::HostProcess host(LUMENRAILHOST_BINARY, args, kNoDisplay);
  const int status = host.waitExit();
  return {status, host.output()};
}

TEST(CommandLineAcceptance, HelpPrintsTheUsageAndExitsZeroWhateverElseIsGiven) {
  const auto [status, usage] = run({"--help"});
  EXPECT_EQ(status, 0);
  for (const char* part : {"Usage: lumenrailhost [MODE] [OPTION...]", "  --m2  ", "  --m1-selftest  ",
                           "--width N             stream width, an even number in 64...4096 (default 1280)",
                           "--fps N               frames a second, a number in 24...120", "a number in 0...65535",
                           "LUMENRAIL_DESKTOP", "XDG_CONFIG_HOME", "$XDG_CONFIG_HOME/lumenrail/defaults.json",
                           "$XDG_STATE_HOME/Lumenrail/host.log"}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part << "\n" << usage;
  }
  // A help asked for among typos is still a help, and serves nothing.
  for (const auto& args : std::vector<std::vector<std::string>>{{"-h"}, {"--m2", "--pair", "--help", "--widht", "800"}}) {
    EXPECT_EQ(run(args), std::make_pair(0, usage)) << args.front();
  }
}

TEST(CommandLineAcceptance, UnknownWordsAndValuesOutOfRangeAreRefusedBeforeAnythingStarts) {
  const std::string hint = " (lumenrailhost --help lists what it takes)";
  const struct {
    std::vector<std::string> args;
    std::string refusal;
  } rows[] = {
      {{"--frobnicate"}, "unknown option --frobnicate" + hint},
      {{"--m2", "--pair", "--widht", "800"}, "unknown option --widht" + hint},
      {{"--m2", "serve"}, "unexpected word \"serve\"" + hint},
      {{"--m2", "--width", "0"}, "--width 0 is not an even number in 64...4096"},
      {{"--m0", "--width", "abc", "--height", "-5"}, "--width abc is not an even number in 64...4096"},
      {{"--m1", "--height", "-5"}, "--height -5 is not an even number in 64...4096"},
      {{"--m2", "--width", "1920", "--width", "641"}, "--width 641 is not an even number in 64...4096"},
      {{"--m1-selftest", "--fps", "0"}, "--fps 0 is not a number in 24...120"},
      {{"--m2", "--fps", "1000"}, "--fps 1000 is not a number in 24...120"},
      {{"--m2", "--width", "3840", "--height", "2160", "--fps", "120"},
       "3840x2160@120 is more pixels a second than 3840x2160@60"},
      {{"--usb-list", "--port", "70000"}, "--port 70000 is not a number in 0...65535"},
      {{"--m2", "--port"}, "--port needs a number in 0...65535"},
      {{"--pair-uri", "--port", "0"}, "--pair-uri needs the port a host serves on; --port 0 names none"},
      {{"--app", "--connect-notice", "never"}, "--connect-notice never is not one of wifi, always, off"},
      // A value after "=" is the same value.
      {{"--m2", "--port=70000"}, "--port 70000 is not a number in 0...65535"},
      {{"--m2", "--width="}, "--width needs an even number in 64...4096"},
      {{"--render-ui="}, "--render-ui names no folder"},
      {{"--m2=1"}, "unknown option --m2=1" + hint},
  };
  for (const auto& row : rows) {
    // One line and nothing else: no banner, no display, no socket.
    EXPECT_EQ(run(row.args), std::make_pair(2, "lumenrailhost: " + row.refusal + "\n")) << row.args.back();
  }
}

// An X server that lets in only holders of its cookie, which nobody is given.
struct CookieLockedX {
  explicit CookieLockedX(const test::TempFolder& dir) {
    const std::string cookies = dir.path("server.auth");
    const std::string add = "xauth -q -f '" + cookies + "' add :0 MIT-MAGIC-COOKIE-1 " + std::string(32, '7');
    if (std::system((add + " 2>/dev/null").c_str()) != 0) {
      whyNot = "xauth is missing (scripts/install-deps.sh test)";
      return;
    }
    server = test::launchXServer("/usr/bin/Xvfb", {"-auth", cookies, "-nolisten", "tcp", "-screen", "0", "64x64x24"},
                                 20000);
    if (server.pid < 0) whyNot = "Xvfb did not start";
  }
  ~CookieLockedX() { test::stopXServer(server.pid); }
  test::XServerProcess server;
  std::string whyNot;
};

// What would stop a start, as a first run meets it: one line with the reason
// and nothing else, so no socket, display or advertisement was opened first.
TEST(CommandLineAcceptance, WhatWouldStopAStartIsOneLineWithItsReasonBeforeAnythingOpens) {
  test::TempFolder dir("lumenrail-refusals");
  std::ofstream(dir.path("plain")) << "a file, not a folder";
  std::ofstream(dir.path("no-cookies"));
  test::PortBlocker blocker;
  ASSERT_NE(blocker.port, 0);
  const std::string busy = std::to_string(blocker.port);
  const std::string m2 = "== lumenrail Linux host — M2 capture serve ==\n[m2] ERROR: ";
  const std::string noX = m2 + "cannot reach the X display: ";
  struct Row {
    std::vector<std::string> args;
    std::string display;
    std::string out;
    int status = 2;
    std::string xauthority = "";
    bool plainUser = false;
  };
  std::vector<Row> rows = {
      {{"--m2", "--port", busy}, ":987654", m2 + "port " + busy + " is already in use (another Lumenrail host?)\n"},
      {{"--m2"}, ":987654", noX + "no X server answers on :987654\n"},
      {{"--m2"}, "wayland-0", noX + "\"wayland-0\" is not the name of an X display\n"},
      {{"--render-ui", dir.path("plain/shots")}, "", "render-ui: cannot make the folder " + dir.path("plain/shots") +
                                                         ": Not a directory\n", 1},
  };
  std::vector<std::string> skipped;
  CookieLockedX locked(dir);
  if (locked.server.pid > 0) {
    rows.push_back({{"--m2"}, locked.server.display,
                    noX + "the X server on " + locked.server.display +
                        " refused the connection (\"Authorization required, but no authorization protocol "
                        "specified\"): no valid cookie for it in $XAUTHORITY or ~/.Xauthority\n",
                    2, dir.path("no-cookies")});
  } else {
    skipped.push_back("a display without its cookie: " + locked.whyNot);
  }
  // A server that takes connections and never answers them (stopped): the start must not hang on it.
  test::PrivateXServer frozen;
  if (frozen.running() && ::kill(frozen.pid(), SIGSTOP) == 0) {
    rows.push_back({{"--m2"}, frozen.display(), noX + "no X server answers on " + frozen.display() + "\n"});
  } else {
    skipped.push_back("an X server that does not answer: " + frozen.whyNot());
  }
  std::ifstream unprivileged("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int firstFree = 0;
  if (unprivileged >> firstFree && firstFree > 80) {
    rows.push_back({{"--m2", "--port", "80"}, ":987654",
                    m2 + "port 80 is reserved for root: choose one from 1024 up (the default is 27184)\n", 2, "",
                    true});
  } else {
    skipped.push_back("port 80: this system lets every user listen on it");
  }
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    std::string binary = LUMENRAILHOST_BINARY;
    if (row.plainUser && ::geteuid() == 0) {
      args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", binary});
      binary = "/usr/bin/setpriv";
    }
    test::HostProcess host(binary, args, {"DISPLAY=" + row.display, "WAYLAND_DISPLAY=", "XAUTHORITY=" + row.xauthority,
                                          "HOME=" + dir.root().string()});
    const int status = host.waitExit();
    EXPECT_EQ(std::make_pair(status, host.output()), std::make_pair(row.status, row.out)) << row.out;
  }
  if (frozen.running()) ::kill(frozen.pid(), SIGCONT);
  for (const auto& why : skipped) std::printf("skipped the case of %s\n", why.c_str());
  if (!skipped.empty()) GTEST_SKIP() << "some cases could not be made here (see above)";
}

TEST(CommandLineAcceptance, PortZeroIsAdvertisedAsThePortItListensOn) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::PrivateAvahi avahi;
  test::TempPairingFolder home("lumenrail-port-zero");
  const std::string root = home.root().string();
  std::vector<std::string> env = {"HOME=" + root, "XDG_DATA_HOME=" + root, "DISPLAY=" + x.display()};
  if (avahi.running()) env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + avahi.busAddress());
  test::HostProcess host(LUMENRAILHOST_BINARY,
                         {"--m2", "--capture-main", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"},
                         env);
  ASSERT_TRUE(host.waitFor("Ctrl-C to stop")) << host.output();
  std::smatch m;
  const std::string out = host.output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("listening on 0\\.0\\.0\\.0:([0-9]+)\n"))) << out;
  const std::string port = m[1];
  EXPECT_NE(port, "0");
  EXPECT_TRUE(std::regex_search(out, std::regex("\\[mdns\\] advertising \"[^\"]*\" _lumenrail\\._tcp\\. on :" + port +
                                                " ip4=")))
      << out;
  EXPECT_NE(out.find("[m2] capturing + serving 320x240@30 on :" + port + " "), std::string::npos) << out;
  if (avahi.running()) {
    // What a device browsing the network resolves: "=;if;proto;name;type;domain;host;address;port;txt".
    EXPECT_TRUE(test::eventually([&] {
      for (const auto& line : avahi.browse("_lumenrail._tcp")) {
        std::vector<std::string> fields;
        std::stringstream in(line);
        for (std::string f; std::getline(in, f, ';');) fields.push_back(f);
        if (fields.size() > 8 && fields[8] == port) return true;
      }
      return false;
    })) << host.output();
  }
  EXPECT_EQ(host.terminate(), 0) << host.output();
  if (!avahi.running()) GTEST_SKIP() << "checked the advertiser's line only; no private Avahi: " << avahi.whyNot();
}

}  // namespace
}  // namespace lumenrail

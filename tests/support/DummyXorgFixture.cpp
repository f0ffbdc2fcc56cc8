#include "support/DummyXorgFixture.hpp"

#include <unistd.h>
#include <xcb/randr.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/CReply.hpp"
#include "platform/X11Display.hpp"
#include "support/XServerFixture.hpp"

#ifndef LUMENRAIL_SOURCE_DIR
#error "LUMENRAIL_SOURCE_DIR must name the source tree"
#endif

namespace lumenrail::test {

namespace {
constexpr const char* kXorg = "/usr/lib/xorg/Xorg";
constexpr const char* kDummyDriver = "/usr/lib/xorg/modules/drivers/dummy_drv.so";
constexpr int kStartTimeoutMs = 30000;

std::string tail(const std::string& path, size_t maxLines) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) {
    if (l.find("(EE)") != std::string::npos) lines.push_back(l);
  }
  std::string out;
  for (size_t i = lines.size() > maxLines ? lines.size() - maxLines : 0; i < lines.size(); ++i) out += lines[i] + "\n";
  return out;
}
}  // namespace

DummyXorgServer::DummyXorgServer() { start(); }

void DummyXorgServer::start() {
  if (::access(kXorg, X_OK) != 0 || ::access(kDummyDriver, R_OK) != 0) {
    whyNot_ = "Xorg with the dummy driver is not installed (Debian packages xserver-xorg-core, xserver-xorg-video-dummy)";
    return;
  }
  char pattern[] = "/tmp/lumenrail-xorg-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    whyNot_ = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  const std::string config = std::string(LUMENRAIL_SOURCE_DIR) + "/resources/xorg-dummy.conf";
  const std::string logFile = dir_ + "/Xorg.log";
  const XServerProcess x = launchXServer(
      kXorg, {"-config", config, "-noreset", "-nolisten", "tcp", "-logfile", logFile, "-novtswitch"}, kStartTimeoutMs);
  if (x.pid <= 0) {
    // Typically: not allowed without a console (Xwrapper), or -config refused for a non-root user.
    whyNot_ = "Xorg with the dummy driver did not start within 30 s; errors from its log:\n" + tail(logFile, 5);
    return;
  }
  pid_ = x.pid;
  display_ = x.display;
}

DummyXorgServer::~DummyXorgServer() {
  stopXServer(pid_);
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

int hostModeCount(const std::string& display) {
  auto d = X11Display::open(display);
  xcb_connection_t* c = d->connection();
  const auto res =
      ownReply(xcb_randr_get_screen_resources_reply(c, xcb_randr_get_screen_resources(c, d->root()), nullptr));
  if (res == nullptr) return -1;
  const std::string names(reinterpret_cast<const char*>(xcb_randr_get_screen_resources_names(res.get())),
                          size_t(xcb_randr_get_screen_resources_names_length(res.get())));
  int count = 0;
  for (size_t at = names.find(" lumenrail-"); at != std::string::npos; at = names.find(" lumenrail-", at + 1)) ++count;
  return count;
}

}  // namespace lumenrail::test

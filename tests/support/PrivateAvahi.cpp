#include "support/PrivateAvahi.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/ChildProcess.hpp"

namespace lumenrail::test {

namespace {

constexpr int kStartTimeoutMs = 20000;

// Waits until the log holds `marker`; false when the process ends or the deadline passes first.
bool waitForLog(pid_t& pid, const std::string& logPath, const std::string& marker, std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  for (;;) {
    std::ifstream in(logPath);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (text.find(marker) != std::string::npos) return true;
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;  // reaped: nothing left to stop
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    ::usleep(20'000);
  }
}

void terminate(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 500; ++i) {  // 5 s, then SIGKILL
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    ::usleep(10'000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit(s[i + 1]) && isdigit(s[i + 2]) && isdigit(s[i + 3])) {
      out += char(std::stoi(s.substr(i + 1, 3)));
      i += 3;
    } else if (s[i] == '\\' && i + 1 < s.size()) {
      out += s[++i];
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

PrivateAvahi::PrivateAvahi() { start(); }

void PrivateAvahi::start() {
  for (const char* tool : {"/usr/bin/dbus-daemon", "/usr/sbin/avahi-daemon", "/usr/bin/avahi-browse",
                           "/usr/bin/unshare", "/usr/sbin/ip"}) {
    if (::access(tool, X_OK) != 0) {
      whyNot_ = std::string(tool) + " is not installed (Debian packages dbus, avahi-daemon, avahi-utils, iproute2)";
      return;
    }
  }
  if (::geteuid() != 0) {
    whyNot_ = "a private network namespace for avahi-daemon needs root";
    return;
  }
  // One folder per process, the same for every instance: libdbus reads the
  // bus address once per process, so a later daemon must listen where the first did.
  const char* tmp = std::getenv("TMPDIR");
  dir_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/lr-avahi-" + std::to_string(::getpid());
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  if (!std::filesystem::create_directory(dir_, ec)) {
    whyNot_ = "cannot create " + dir_;
    dir_.clear();
    return;
  }
  const std::string socket = dir_ + "/bus";
  {
    std::ofstream bus(dir_ + "/bus.conf");
    bus << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <listen>unix:path=" << socket << "</listen>\n  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow receive_sender=\"*\"/>\n"
           "  </policy>\n</busconfig>\n";
    std::ofstream avahi(dir_ + "/avahi.conf");
    avahi << "[server]\nhost-name=lumenrail-test-" << ::getpid()
          << "\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\nratelimit-interval-usec=0\n"
             "[wide-area]\nenable-wide-area=no\n"
             "[publish]\npublish-hinfo=no\npublish-workstation=no\n"
             "[reflector]\nenable-reflector=no\n";
  }

  busPid_ = spawnLogged({"/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork", "--print-address"}, {},
                  dir_ + "/bus.log", false);
  if (busPid_ < 0) {
    whyNot_ = "cannot start dbus-daemon";
    return;
  }
  std::string busText;
  if (!waitForLog(busPid_, dir_ + "/bus.log", "unix:path=", busText)) {
    whyNot_ = "private dbus-daemon did not start: " + busText;
    terminate(busPid_);
    return;
  }
  busAddress_ = "unix:path=" + socket;

  // Own network namespace (loopback only) and own /run (pid file, socket).
  const std::string script =
      "ip link set lo up && ip link set lo multicast on && mount -t tmpfs tmpfs /run && "
      "exec /usr/sbin/avahi-daemon -f " + dir_ + "/avahi.conf --no-drop-root --no-chroot --no-rlimits --no-proc-title";
  avahiPid_ = spawnLogged({"/usr/bin/unshare", "--mount", "--net", "/bin/sh", "-c", script},
                    {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_}, dir_ + "/avahi.log", false);
  if (avahiPid_ < 0) {
    whyNot_ = "cannot start avahi-daemon";
    terminate(busPid_);
    return;
  }
  std::string avahiText;
  if (!waitForLog(avahiPid_, dir_ + "/avahi.log", "Server startup complete", avahiText)) {
    whyNot_ = "avahi-daemon in a private network namespace did not start: " + avahiText;
    terminate(avahiPid_);
    terminate(busPid_);
  }
}

PrivateAvahi::~PrivateAvahi() {
  terminate(avahiPid_);
  terminate(busPid_);
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::vector<std::string> PrivateAvahi::browse(const std::string& type) const {
  std::vector<std::string> lines;
  if (!running()) return lines;
  const std::string command = "DBUS_SYSTEM_BUS_ADDRESS='" + busAddress_ +
                              "' timeout 10 /usr/bin/avahi-browse --resolve --terminate --parsable '" + type +
                              "' 2>/dev/null";
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return lines;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, p)) {
    std::string line(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.starts_with("=;")) lines.push_back(unescape(line));
  }
  ::pclose(p);
  return lines;
}

}  // namespace lumenrail::test

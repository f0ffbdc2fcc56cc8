#include "support/HeadlessMutter.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/DBusConnection.hpp"
#include "support/ChildProcess.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/Waiting.hpp"

namespace lumenrail::test {

namespace {

constexpr const char* kMutter = "/usr/bin/mutter";
constexpr const char* kPipewire = "/usr/bin/pipewire";
constexpr const char* kWireplumber = "/usr/bin/wireplumber";
constexpr uint64_t kStopNs = 5'000'000'000;

// Reaped, the number is forgotten: the kernel hands it out again, and a
// signal sent to it later would reach some other test's process.
bool exited(pid_t& pid) {
  if (pid <= 0) return true;
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r != pid && !(r < 0 && errno == ECHILD)) return false;
  pid = -1;
  return true;
}

// SIGTERM, then SIGKILL when it has not gone within the bound; always reaped.
void stopChild(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!eventually([&] { return exited(pid); }, kStopNs)) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid = -1;
}


std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

HeadlessMutter::HeadlessMutter(int width, int height) { start(width, height); }

void HeadlessMutter::start(int width, int height) {
  for (const char* tool : {kMutter, kPipewire, kWireplumber}) {
    if (::access(tool, X_OK) != 0) {
      whyNot_ = std::string(tool) + " is not installed (scripts/install-deps.sh installs it)";
      return;
    }
  }
  bus_ = std::make_unique<PrivateSessionBus>();
  if (!bus_->running()) {
    whyNot_ = "no private session bus: " + bus_->whyNot();
    return;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "lumenrail-gnome-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    whyNot_ = "mkdtemp failed";
    return;
  }
  runtimeDir_ = pattern;  // mkdtemp makes it 0700, as a runtime folder must be
  waylandDisplay_ = "lumenrail-wayland";
  const std::vector<std::string> env = {
      "XDG_RUNTIME_DIR=" + runtimeDir_, "DBUS_SESSION_BUS_ADDRESS=" + bus_->address(),
      "HOME=" + runtimeDir_, "XDG_CONFIG_HOME=" + runtimeDir_ + "/config", "XDG_STATE_HOME=" + runtimeDir_ + "/state",
      // No dconf daemon on this bus: settings stay in memory.
      "GSETTINGS_BACKEND=memory",
      // Removed: this desktop must not reach the one the tests run under.
      "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"};

  pipewire_ = spawnLogged({kPipewire}, env, runtimeDir_ + "/pipewire.log", false, true);
  const std::string socket = pipewireRemote();
  if (!eventually([&] { return ::access(socket.c_str(), F_OK) == 0 || exited(pipewire_); }) ||
      ::access(socket.c_str(), F_OK) != 0) {
    whyNot_ = "pipewire did not come up: " + readFile(runtimeDir_ + "/pipewire.log");
    return;
  }
  wireplumber_ = spawnLogged({kWireplumber}, env, runtimeDir_ + "/wireplumber.log", false, true);
  env_ = env;
  monitorSize_ = std::to_string(width) + "x" + std::to_string(height);
  startMutter();
}

void HeadlessMutter::startMutter() {
  // Each Mutter logs to a file of its own, so the first one's output is kept.
  const std::string log = runtimeDir_ + (mutterStarts_++ == 0 ? "/mutter.log" : "/mutter-restarted.log");
  mutter_ = spawnLogged({kMutter, "--headless", "--no-x11", "--wayland-display", waylandDisplay_, "--virtual-monitor",
                         monitorSize_},
                        env_, log, false, true);

  std::shared_ptr<DBusConnection> probe;
  try {
    probe = DBusConnection::connect(bus_->address());
  } catch (const std::exception& e) {
    whyNot_ = std::string("private bus unreachable: ") + e.what();
    return;
  }
  const bool up = eventually([&] {
    if (exited(mutter_)) return true;
    try {
      return probe->nameHasOwner("org.gnome.Mutter.ScreenCast") &&
             probe->nameHasOwner("org.gnome.Mutter.RemoteDesktop") &&
             probe->nameHasOwner("org.gnome.Mutter.DisplayConfig") &&
             ::access((runtimeDir_ + "/" + waylandDisplay_).c_str(), F_OK) == 0;
    } catch (const std::exception&) {
      return false;
    }
  });
  if (!up || !mutterAlive()) whyNot_ = "headless mutter did not come up: " + readFile(log);
}

bool HeadlessMutter::restartMutter() {
  killMutter();
  // The dead one's socket would pass for the new one's.
  ::unlink((runtimeDir_ + "/" + waylandDisplay_).c_str());
  ::unlink((runtimeDir_ + "/" + waylandDisplay_ + ".lock").c_str());
  startMutter();
  return running();
}

HeadlessMutter::~HeadlessMutter() {
  if (mutter_ > 0) ::kill(mutter_, SIGCONT);
  stopChild(mutter_);
  stopChild(wireplumber_);
  stopChild(pipewire_);
  bus_.reset();
  if (!runtimeDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(runtimeDir_, ec);
  }
}

const std::string& HeadlessMutter::busAddress() const { return bus_->address(); }

std::vector<std::string> HeadlessMutter::clientEnvironment() const {
  return {"XDG_RUNTIME_DIR=" + runtimeDir_, "WAYLAND_DISPLAY=" + waylandDisplay_,
          "DBUS_SESSION_BUS_ADDRESS=" + bus_->address(), "DISPLAY"};
}

void HeadlessMutter::killMutter() {
  if (mutter_ <= 0) return;
  ::kill(mutter_, SIGKILL);
  while (::waitpid(mutter_, nullptr, 0) < 0 && errno == EINTR) {
  }
  mutter_ = -1;
}

void HeadlessMutter::killPipewire() {
  if (pipewire_ <= 0) return;
  ::kill(pipewire_, SIGKILL);
  while (::waitpid(pipewire_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pipewire_ = -1;
}

void HeadlessMutter::pauseMutter() {
  if (mutter_ <= 0) return;
  ::kill(mutter_, SIGSTOP);
  eventually([&] { return mutterStatus() == "stopped"; });  // stopped for certain before anything is asked of it
}

void HeadlessMutter::continueMutter() {
  if (mutter_ > 0) ::kill(mutter_, SIGCONT);
}

std::string HeadlessMutter::mutterStatus() const {
  if (mutter_ <= 0) return "not running";
  siginfo_t info{};
  // WNOWAIT: looked at, not reaped.
  if (::waitid(P_PID, id_t(mutter_), &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) != 0) return "not a child";
  if (info.si_pid == 0) return "running";
  switch (info.si_code) {
    case CLD_EXITED:
      return "exited " + std::to_string(info.si_status);
    case CLD_STOPPED:
      return "stopped";
    default:
      return "killed by signal " + std::to_string(info.si_status);
  }
}

bool HeadlessMutter::mutterAlive() { return !exited(mutter_); }

std::string HeadlessMutter::logs() const {
  return "--- mutter\n" + readFile(runtimeDir_ + "/mutter.log") + "--- restarted mutter\n" +
         readFile(runtimeDir_ + "/mutter-restarted.log") + "--- pipewire\n" +
         readFile(runtimeDir_ + "/pipewire.log") + "--- wireplumber\n" + readFile(runtimeDir_ + "/wireplumber.log");
}

WaylandColourClient::WaylandColourClient(const HeadlessMutter& desktop, uint32_t rgb, int outputX) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  char colour[8];
  std::snprintf(colour, sizeof colour, "%06x", rgb & 0xffffffu);
  const std::vector<std::string> env = desktop.clientEnvironment();
  const std::string tool = LUMENRAIL_WAYLAND_COLOUR_CLIENT;
  const std::string x = std::to_string(outputX);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeFds[1], 1);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    ::execl(tool.c_str(), tool.c_str(), colour, x.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  pid_ = pid;
  out_ = pipeFds[0];
}

WaylandColourClient::~WaylandColourClient() {
  if (out_ >= 0) ::close(out_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

std::string WaylandColourClient::waitForLine(const std::string& prefix, uint64_t timeoutNs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs);
  for (;;) {
    size_t end;
    while ((end = buffered_.find('\n')) != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      seen_.push_back(line);
      if (line.rfind(prefix, 0) == 0) return line;
    }
    if (out_ < 0) return {};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return {};
    pollfd p{out_, POLLIN, 0};
    const int r = ::poll(&p, 1, int(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return {};
    char buf[512];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
      continue;
    }
    buffered_.append(buf, size_t(n));
  }
}

}  // namespace lumenrail::test

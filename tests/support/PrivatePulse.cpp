#include "support/PrivatePulse.hpp"

#include <fcntl.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/ChildProcess.hpp"

namespace lumenrail::test {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);

bool socketAnswers(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

PrivatePulse::PrivatePulse() { start(); }

void PrivatePulse::start() {
  if (::access("/usr/bin/pulseaudio", X_OK) != 0) {
    whyNot_ = "pulseaudio is not installed";
    return;
  }
  char templ[] = "/tmp/lumenrail-pulse-XXXXXX";
  if (::mkdtemp(templ) == nullptr) {
    whyNot_ = "cannot create a temporary folder";
    return;
  }
  dir_ = templ;
  std::filesystem::create_directories(dir_ + "/home");
  std::filesystem::create_directories(dir_ + "/run");
  std::filesystem::permissions(dir_ + "/run", std::filesystem::perms::owner_all);
  const std::string socket = dir_ + "/native";
  server_ = "unix:" + socket;
  const std::string log = dir_ + "/pulseaudio.log";
  pid_ = spawnLogged({"/usr/bin/pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--disable-shm=yes",
                "--use-pid-file=no", "--log-target=stderr", "--load=module-null-sink sink_name=lr_test",
                "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket},
               {"HOME=" + dir_ + "/home", "XDG_RUNTIME_DIR=" + dir_ + "/run", "XDG_CONFIG_HOME=" + dir_ + "/home/.config",
                "PULSE_RUNTIME_PATH=" + dir_ + "/run/pulse", "DBUS_SESSION_BUS_ADDRESS=disabled:"},
               log, true);
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!socketAnswers(socket)) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      whyNot_ = "pulseaudio did not start: " + readFile(log);
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
      whyNot_ = "pulseaudio did not open its socket in time: " + readFile(log);
      return;
    }
    ::usleep(10'000);  // polling a child's socket, not synchronising test threads
  }
}

PrivatePulse::~PrivatePulse() {
  stopTone();
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    bool reaped = false;
    for (int i = 0; i < 500 && !reaped; ++i) {
      reaped = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!reaped) ::usleep(10'000);
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

bool PrivatePulse::playTone(double hz, const std::string& sink) {
  stopTone();
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, 48000, 2};
  int error = 0;
  pa_simple* stream = pa_simple_new(server_.c_str(), "lumenrail-test", PA_STREAM_PLAYBACK, sink.c_str(), "tone", &sampleSpec,
                                    nullptr, nullptr, &error);
  if (stream == nullptr) return false;
  toneStop_ = false;
  tone_ = std::thread([this, stream, hz] {
    std::vector<float> chunk(480 * 2);
    int64_t n = 0;
    while (!toneStop_) {
      for (size_t i = 0; i < 480; ++i, ++n) {
        chunk[2 * i] = chunk[2 * i + 1] = 0.5f * static_cast<float>(std::sin(2 * M_PI * hz * n / 48000.0));
      }
      int error = 0;
      if (pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(float), &error) < 0) break;
    }
    pa_simple_free(stream);
  });
  return true;
}

void PrivatePulse::stopTone() {
  toneStop_ = true;
  if (tone_.joinable()) tone_.join();
}

bool PrivatePulse::pactl(const std::vector<std::string>& args) const {
  if (pid_ <= 0) return false;
  std::vector<std::string> argv{"/usr/bin/pactl", "--server=" + server_};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = spawnLogged(argv, {}, dir_ + "/pactl.log", true);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace lumenrail::test

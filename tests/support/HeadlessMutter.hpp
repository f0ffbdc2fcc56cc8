#pragma once

// A GNOME Wayland desktop of the test's own: a private runtime folder and
// session bus, pipewire, wireplumber and a headless Mutter with one virtual
// 1920x1080 monitor (no GPU needed). Everything it started is stopped with
// the object; nothing else is touched. Tests skip with `whyNot()` where a
// program is missing or does not come up.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumenrail::test {

class PrivateSessionBus;

class HeadlessMutter {
 public:
  explicit HeadlessMutter(int width = 1920, int height = 1080);
  ~HeadlessMutter();
  HeadlessMutter(const HeadlessMutter&) = delete;
  HeadlessMutter& operator=(const HeadlessMutter&) = delete;

  bool running() const { return whyNot_.empty(); }
  const std::string& whyNot() const { return whyNot_; }

  const std::string& busAddress() const;
  const std::string& runtimeDir() const { return runtimeDir_; }
  const std::string& waylandDisplay() const { return waylandDisplay_; }
  // The pipewire daemon's socket.
  std::string pipewireRemote() const { return runtimeDir_ + "/pipewire-0"; }
  // What a client of this desktop needs in its environment.
  std::vector<std::string> clientEnvironment() const;

  // Fault injection: the process dies at once (SIGKILL).
  void killMutter();
  void killPipewire();
  // Mutter stops answering (SIGSTOP) until continueMutter() or the fixture's
  // end; returns once it has stopped.
  void pauseMutter();
  void continueMutter();
  // A new Mutter on the same bus, runtime folder and Wayland name, as GNOME
  // Shell comes back after a crash: the old one is killed first (if still
  // there). False, with `whyNot()`, when the new one does not come up.
  bool restartMutter();
  bool mutterAlive();
  // "running", "stopped", "exited N", "killed by signal N" or "not running"
  // (never started, or reaped), for a failure message.
  std::string mutterStatus() const;

  // The daemons' output, for a failure message.
  std::string logs() const;

 private:
  void start(int width, int height);
  // Starts Mutter and waits for its services; sets whyNot_ when they do not come.
  void startMutter();

  std::unique_ptr<PrivateSessionBus> bus_;
  std::string runtimeDir_;
  std::string waylandDisplay_;
  std::string whyNot_;
  std::vector<std::string> env_;
  std::string monitorSize_;
  int mutterStarts_ = 0;
  pid_t pipewire_ = -1;
  pid_t wireplumber_ = -1;
  pid_t mutter_ = -1;
};

// The Wayland colour client: a fullscreen window of one colour on the output
// whose left edge is at `outputX`, its event lines read with deadlines.
class WaylandColourClient {
 public:
  WaylandColourClient(const HeadlessMutter& desktop, uint32_t rgb, int outputX = 0);
  ~WaylandColourClient();
  WaylandColourClient(const WaylandColourClient&) = delete;
  WaylandColourClient& operator=(const WaylandColourClient&) = delete;

  // The next line starting with `prefix` (earlier lines are skipped and
  // kept in `seen()`); empty when none came before the deadline.
  std::string waitForLine(const std::string& prefix, uint64_t timeoutNs);
  const std::vector<std::string>& seen() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
  std::vector<std::string> seen_;
};

}  // namespace lumenrail::test

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/DisplayConfiguration.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// Creates and owns the virtual display streamed in extend mode (on X a lit
// RandR output where one is free, see X11DisplayConfiguration), and arranges
// displays: promotes it to main and puts the old main back, and turns a
// mirrored virtual display into one extended right of all others.
//
// No lock: the serving session calls it one call at a time (start path and
// its reconfiguration queue). The display is removed by destroy() and when
// the manager is dropped.
//
// Stopping by a signal: every display a manager adds is also recorded in a
// process-wide registry until it is removed. A serving mode blocks SIGINT,
// SIGTERM and SIGHUP in all threads (pthread_sigmask before starting any thread),
// waits for them with sigwait() on a thread of its own, and there calls
// VirtualDisplayManager::removeAllAdded() before exiting, so no monitor
// outlives the process. removeAllAdded() is safe from any thread (not from
// an asynchronous signal handler). A display a killed run could not remove
// is found and removed by the next create() (DisplayConfiguration::removeLeftover).
class VirtualDisplayManager final {
 public:
  struct Config {
    std::string name;
    uint32_t width = 0;
    uint32_t height = 0;
    double refreshRate = 60;
    double widthMillimeters = 0;
    double heightMillimeters = 0;
    bool operator==(const Config&) const = default;
  };

  using SleepNs = std::function<void(uint64_t)>;

  static constexpr uint32_t kMinMaxPixels = 4096;
  static constexpr uint64_t kRetryDelayNs = 500'000'000;

  // `log` prints the "[vd] " lines (standard output when unset); `sleepNs`
  // is the pause between creation attempts.
  explicit VirtualDisplayManager(std::shared_ptr<DisplayConfiguration> displays, Log::Sink log = {},
                                 SleepNs sleepNs = {});
  ~VirtualDisplayManager();
  VirtualDisplayManager(const VirtualDisplayManager&) = delete;
  VirtualDisplayManager& operator=(const VirtualDisplayManager&) = delete;

  // One attempt. A display already held is destroyed first.
  bool create(const Config& config);
  // Up to `attempts` attempts, 500 ms apart; one only when the server
  // refuses for good.
  bool create(const Config& config, int64_t attempts);
  bool applyMode(uint32_t width, uint32_t height, double refreshRate);
  // Puts the old main back and removes the display.
  void destroy();
  bool restoreMain();
  bool makeMain();
  bool isPromotedToMain() const { return previousMain_.has_value(); }
  bool ensureExtended();

  std::vector<uint32_t> activeDisplays() const { return displays_->activeDisplays(); }
  // 0 when there is none.
  uint32_t displayID() const { return displayID_; }
  // The rate the display server reports for the display's mode, which may
  // differ from the one asked for; nothing without a display or an answer.
  std::optional<double> refreshRate() const {
    return displayID_ == 0 ? std::nullopt : displays_->refreshRate(displayID_);
  }
  const DisplayConfiguration& displays() const { return *displays_; }

  // Removes every display any manager of this process added and has not
  // removed yet. For the serving modes' signal thread; see above.
  static void removeAllAdded();

 private:
  struct PreviousMain {
    uint32_t id;
    int64_t x;
    int64_t y;
  };

  void say(const std::string& text) const;
  void dropDisplay();

  const std::shared_ptr<DisplayConfiguration> displays_;
  const Log::Sink log_;
  const SleepNs sleepNs_;
  uint32_t displayID_ = 0;
  uint64_t registration_ = 0;
  std::optional<PreviousMain> previousMain_;
};

}  // namespace lumenrail

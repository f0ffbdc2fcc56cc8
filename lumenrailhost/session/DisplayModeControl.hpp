#pragma once

// What the serving session shows and how: extend (a virtual display of the
// stream's size) or mirror (the main display), the virtual display's mode as
// the stream mode changes, and pen high rate (the virtual display made main
// at a higher refresh rate). Also the display rectangle the pen injectors map
// onto. Runs on the session's start path, its queue and its stop, one at a time;
// the getters and the pen target are for any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/DesktopEnvironment.hpp"
#include "input/PenMapper.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "platform/DisplayConfiguration.hpp"
#include "platform/Log.hpp"
#include "wire/ClientModePolicy.hpp"

namespace lumenrail {

class DisplayModeControl final {
 public:
  using Mode = ClientModePolicy::Mode;

  struct Config {
    std::shared_ptr<DesktopEnvironment> desktop;
    Log::Sink log;
    bool mirror = false;       // capture the main display instead of extending
    bool penHighRate = false;  // pen high-rate mode wanted
    std::optional<std::string> refreshOverride;  // "LUMENRAIL_VD_HZ"
    Mode mode;                 // the stream mode at the start
  };

  explicit DisplayModeControl(Config config);
  ~DisplayModeControl();
  DisplayModeControl(const DisplayModeControl&) = delete;
  DisplayModeControl& operator=(const DisplayModeControl&) = delete;

  // Start: reaches the displays and extends onto a new virtual display, or
  // mirrors (asked for, or when the virtual display cannot be made).
  void start(const Mode& mode);
  // A start that failed after the display: the virtual display goes again.
  void dropVirtualDisplay();
  // Before each capture start: the display to capture (0: the main one).
  uint32_t prepareCapture();
  // After the encoder was rebuilt for `mode`: the virtual display follows it
  // (recreated, or mirror when that fails too), then pen high rate.
  void followMode(const Mode& mode, bool clientsConnected);
  // False when already in that state (and says so).
  bool changes(bool mirror) const;
  // Extend or mirror; a failed switch to extend stays on mirror.
  void switchTo(bool mirror, const Mode& mode, bool clientsConnected);
  // Pen high-rate mode wanted or not (says so when it changes).
  void setPenHighRate(bool on, const Mode& mode, bool clientsConnected);
  // Makes the virtual display main at the high rate, or puts the old main back.
  void promote(bool on, const Mode& mode);

  // The virtual display's refresh rate for `mode` ("<w>x<h>@<rate>Hz display, <fps> fps stream" when it differs).
  double refreshRate(const Mode& mode, bool penHighRate) const;
  std::string label(const Mode& mode) const;

  bool mirroring() const { return mirror_.load(); }
  // Extend was asked for and this display server cannot add a screen, so the
  // session mirrors.
  bool extendRefused() const { return extendRefused_.load(); }
  bool penHighRate() const { return penHighRate_.load(); }
  bool penHighRateApplied() const { return penHighRateApplied_.load(); }
  uint32_t displayID() const { return vdId_.load(); }

  // For the pen injectors; they may outlive this control.
  std::function<PenMapper::TargetRect()> targetRect() const;
  std::function<std::optional<PenMapper::FrameSize>()> frameSize() const;
  // The stream mode the pen maps from.
  void noteMode(const Mode& mode);

 private:
  struct Target {
    std::mutex lock;
    std::shared_ptr<DisplayConfiguration> displays;  // opened at start
    uint32_t vdId = 0;
    int64_t width = 0;
    int64_t height = 0;
    bool alive = true;
  };
  VirtualDisplayManager::Config virtualDisplayConfig(const Mode& mode) const;
  bool createVirtualDisplay(const Mode& mode);
  void destroyVirtualDisplay();
  void noteDisplay();
  void say(const std::string& line) const { config_.log(line); }

  const Config config_;
  const std::shared_ptr<Target> target_ = std::make_shared<Target>();
  std::shared_ptr<DisplayConfiguration> displays_;
  std::unique_ptr<VirtualDisplayManager> vd_;
  std::atomic<uint32_t> vdId_{0};
  std::atomic<bool> mirror_;
  std::atomic<bool> extendRefused_{false};
  std::atomic<bool> penHighRate_;
  std::atomic<bool> penHighRateApplied_{false};
};

}  // namespace lumenrail

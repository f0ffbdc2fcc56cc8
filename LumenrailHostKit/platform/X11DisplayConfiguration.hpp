#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/DisplayConfiguration.hpp"
#include "platform/X11Display.hpp"

namespace lumenrail {

// Displays as RandR monitors of one X screen. A virtual display is a
// monitor without outputs that this object adds right of the others after
// growing the screen to hold it; removing the last one shrinks the screen
// back to the size it had before. Ids are the monitors' name atoms, the ids
// screen capture uses. The main display is the primary monitor.
// Needs a server that lets its screen grow (desktop Xorg, or Xorg with the
// dummy driver and a large virtual size); on Xvfb adding fails.
class X11DisplayConfiguration final : public DisplayConfiguration {
 public:
  // `name` is ":N"; empty means $DISPLAY. Throws X11Error.
  static std::shared_ptr<X11DisplayConfiguration> open(const std::string& name);

  std::optional<uint32_t> addVirtualDisplay(const VirtualDisplayRequest& request, std::string& failure) override;
  bool setVirtualMode(uint32_t id, uint32_t width, uint32_t height, double refreshRate) override;
  bool removeVirtualDisplay(uint32_t id) override;
  uint32_t mainDisplay() override;
  std::optional<DisplayBounds> bounds(uint32_t id) override;
  std::vector<uint32_t> activeDisplays() override;
  std::optional<uint32_t> mirrorOf(uint32_t id) override;
  bool configure(const std::vector<DisplayPlacement>& placements) override;

  // The refresh rate asked for (a monitor has none of its own).
  std::optional<double> refreshRate(uint32_t id) const;

 private:
  struct Monitor;
  struct Added {
    uint32_t maxWidth;
    uint32_t maxHeight;
    double refreshRate;
  };
  struct ScreenSize {
    int32_t width, height;
    uint32_t widthMm, heightMm;
  };

  explicit X11DisplayConfiguration(std::shared_ptr<X11Display> display) : display_(std::move(display)) {}
  std::vector<Monitor> monitors() const;
  std::optional<ScreenSize> screenSize() const;
  std::pair<int32_t, int32_t> maxScreenSize() const;
  bool setScreenSize(int32_t width, int32_t height);
  bool growTo(int32_t width, int32_t height);
  void shrinkToFit();
  bool setMonitor(const Monitor& m);
  bool moveOutputs(const Monitor& m, int32_t x, int32_t y);
  bool makePrimary(const Monitor& m, const std::vector<Monitor>& all);

  const std::shared_ptr<X11Display> display_;
  mutable std::mutex mutex_;
  std::map<uint32_t, Added> added_;
  std::optional<ScreenSize> before_;  // the screen before the first display was added
};

}  // namespace lumenrail

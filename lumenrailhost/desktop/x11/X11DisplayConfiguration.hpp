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

// Displays as RandR monitors of one X screen. A virtual display is a free
// output (a "VIRTUAL" or dummy-driver output, else a disconnected connector)
// lit with a CVT mode of its own on a free CRTC right of the others, under a
// monitor of the display's name: the server keeps the pointer on the areas
// its CRTCs scan out, so only a lit output lets the pointer, injected input
// and the window manager onto it. Where no output is free it is a monitor
// only, which grows the screen but which input cannot reach. Removing a
// display turns its output off and deletes its mode; removing the last one
// shrinks the screen back to the size it had before. Ids are the monitors'
// name atoms, the ids screen capture uses. The main display is the primary
// monitor (or the one holding the primary output).
// Each display added is marked as this host's: a root-window property named
// after the monitor holds the output, its CRTC, the screen size before and
// an owner window, which the server destroys with this process's connection.
// A marked display whose owner window is gone was left by a run that ended
// without removing it; removeLeftover() removes it. Displays without the
// mark (another program's) are never touched.
// Needs a server that lets its screen grow (desktop Xorg, or Xorg with the
// dummy driver and a large virtual size); on Xvfb adding fails.
class X11DisplayConfiguration final : public DisplayConfiguration {
 public:
  // `name` is ":N"; empty means $DISPLAY. Throws X11Error.
  static std::shared_ptr<X11DisplayConfiguration> open(const std::string& name);

  std::optional<uint32_t> addVirtualDisplay(const VirtualDisplayRequest& request, std::string& failure) override;
  bool lastAddRefusedForGood() const override;
  bool setVirtualMode(uint32_t id, uint32_t width, uint32_t height, double refreshRate) override;
  bool removeVirtualDisplay(uint32_t id) override;
  std::optional<std::string> removeLeftover(const std::string& name) override;
  uint32_t mainDisplay() override;
  std::optional<DisplayBounds> bounds(uint32_t id) override;
  std::vector<uint32_t> activeDisplays() override;
  std::optional<uint32_t> mirrorOf(uint32_t id) override;
  bool configure(const std::vector<DisplayPlacement>& placements) override;

  bool inputReaches(uint32_t id) override;

  // The rate of the mode made for a display this object added.
  std::optional<double> refreshRate(uint32_t id) override;

  // A mode line by the VESA coordinated video timings (normal blanking).
  struct ModeTiming {
    uint32_t width = 0, hSyncStart = 0, hSyncEnd = 0, hTotal = 0;
    uint32_t height = 0, vSyncStart = 0, vSyncEnd = 0, vTotal = 0;
    uint32_t dotClockHz = 0;
    bool operator==(const ModeTiming&) const = default;
  };
  static ModeTiming cvtMode(uint32_t width, uint32_t height, double refreshHz);

 private:
  struct Monitor;
  struct Added {
    uint32_t maxWidth = 0;
    uint32_t maxHeight = 0;
    double refreshRate = 0;
    // The lit output behind the display and its mode's size; 0 for a monitor only.
    uint32_t output = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t crtc = 0;
    uint32_t mode = 0;
  };
  struct FreeOutput {
    uint32_t output = 0;
    uint32_t crtc = 0;
  };
  struct ScreenSize {
    int32_t width, height;
    uint32_t widthMm, heightMm;
  };

  explicit X11DisplayConfiguration(std::shared_ptr<X11Display> display) : display_(std::move(display)) {}
  // The window whose life marks this process's displays as alive.
  uint32_t ownerWindow();
  uint32_t markAtom(uint32_t monitor) const;
  void mark(uint32_t monitor, const Added& added);
  void unmark(uint32_t monitor);
  bool ownerAlive(uint32_t window) const;
  // The modes of this host (by their names) on `output`.
  std::vector<uint32_t> hostModesOn(uint32_t output) const;
  std::vector<Monitor> monitors() const;
  std::optional<ScreenSize> screenSize() const;
  std::pair<int32_t, int32_t> maxScreenSize() const;
  bool setScreenSize(int32_t width, int32_t height);
  bool growTo(int32_t width, int32_t height);
  void shrinkToFit();
  bool setMonitor(const Monitor& m);
  bool moveOutputs(const Monitor& m, int32_t x, int32_t y);
  bool makePrimary(const Monitor& m, const std::vector<Monitor>& all);
  std::vector<FreeOutput> freeOutputs() const;
  std::optional<uint32_t> createMode(uint32_t width, uint32_t height, double refreshHz);
  void destroyMode(uint32_t output, uint32_t mode);
  bool setCrtc(uint32_t crtc, int32_t x, int32_t y, uint32_t mode, uint32_t output);
  // Lights a free output at (x, y) with a mode of the asked size and rate.
  bool lightFreeOutput(const VirtualDisplayRequest& request, int32_t x, int32_t y, Added& added);
  void darken(const Added& added);

  const std::shared_ptr<X11Display> display_;
  mutable std::mutex mutex_;
  bool refusedForGood_ = false;
  std::map<uint32_t, Added> added_;
  std::optional<ScreenSize> before_;  // the screen before the first display was added
  uint32_t owner_ = 0;
};

}  // namespace lumenrail

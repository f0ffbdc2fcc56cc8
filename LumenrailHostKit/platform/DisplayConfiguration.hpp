#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumenrail {

// A display's rectangle in the desktop's coordinates (top-left origin).
struct DisplayBounds {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
  bool operator==(const DisplayBounds&) const = default;
};

// What a virtual display is made with: one mode, a physical size, and the
// largest size its mode may later take.
struct VirtualDisplayRequest {
  std::string name;
  uint32_t width = 0;
  uint32_t height = 0;
  double refreshRate = 0;
  double widthMillimeters = 0;
  double heightMillimeters = 0;
  uint32_t maxWidth = 0;
  uint32_t maxHeight = 0;
  bool operator==(const VirtualDisplayRequest&) const = default;
};

struct DisplayPlacement {
  uint32_t id = 0;
  int64_t x = 0;
  int64_t y = 0;
  bool operator==(const DisplayPlacement&) const = default;
};

// The display-configuration calls of the virtual display manager: the X11
// implementation works on RandR monitors, tests use an in-process model.
// Implementations are thread-safe: a signal-handling thread may remove
// displays while the owner works.
class DisplayConfiguration {
 public:
  virtual ~DisplayConfiguration() = default;

  // Adds a display beside the others. Its id; 0 when the server gave none
  // (nothing was added); nothing when it could not be made, with the reason
  // in `failure`.
  virtual std::optional<uint32_t> addVirtualDisplay(const VirtualDisplayRequest& request, std::string& failure) = 0;
  // After a failed addVirtualDisplay(): the server can never make it (its
  // screen cannot grow that far), so trying again is pointless.
  virtual bool lastAddRefusedForGood() const { return false; }
  // Replaces the single mode of a display this object added.
  virtual bool setVirtualMode(uint32_t id, uint32_t width, uint32_t height, double refreshRate) = 0;
  // Removes a display this object added; false when it was not there.
  virtual bool removeVirtualDisplay(uint32_t id) = 0;
  // Removes a display of that name that an earlier run of this host added
  // and could not remove (it was killed, or its server stopped answering);
  // a display of that name made by anyone else, or by a run still alive, is
  // left alone. What was removed, or nothing.
  virtual std::optional<std::string> removeLeftover(const std::string& /*name*/) { return std::nullopt; }
  // Whether the pointer and injected input can reach a display this object
  // added (some servers can only add a picture area without an output).
  virtual bool inputReaches(uint32_t /*id*/) { return true; }

  // The main display's id, 0 when there is no display.
  virtual uint32_t mainDisplay() = 0;
  virtual std::optional<DisplayBounds> bounds(uint32_t id) = 0;
  virtual std::vector<uint32_t> activeDisplays() = 0;
  // The refresh rate the display server reports for display `id`'s mode;
  // nothing when it cannot say.
  virtual std::optional<double> refreshRate(uint32_t /*id*/) { return std::nullopt; }
  // The display whose picture `id` shows, when it mirrors one.
  virtual std::optional<uint32_t> mirrorOf(uint32_t id) = 0;
  // Moves the displays together, as one change; a display placed at (0, 0)
  // becomes the main display. False when any part was refused.
  virtual bool configure(const std::vector<DisplayPlacement>& placements) = 0;
};

}  // namespace lumenrail

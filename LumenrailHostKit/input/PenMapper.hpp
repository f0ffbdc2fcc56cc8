#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "input/Geometry.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

// Turns a client's input samples into per-pointer pen and finger events in
// global screen points: undoes the letterbox of the streamed picture, scales
// pressure, tilt and orientation by the client's declared axes, and keeps
// each pointer's phase so it can report presses, drags, releases and hover.
// Used on one injector's queue only; no lock.
class PenMapper final {
 public:
  using TargetRect = Rect;  // the display area the client's picture shows, screen points
  using FrameSize = Size;   // the streamed frame, pixels

  enum class Action : uint8_t { down = 0, drag = 1, up = 2, hoverMove = 3, hoverExit = 4 };
  enum class Phase : uint8_t { hover = 0, contact = 1 };

  struct Track {
    Phase phase = Phase::hover;
    bool isPen = true;
    bool isEraser = false;
    double x = 0;
    double y = 0;
    bool operator==(const Track&) const = default;
  };

  struct Event {
    uint8_t pointerId = 0;
    Action action = Action::hoverMove;
    bool isPen = true;  // false for a finger
    bool isEraser = false;
    bool barrel = false;
    double x = 0;
    double y = 0;
    double pressure = 0;     // 0 ... 1
    double tiltX = 0;        // -1 ... 1, where 1 is 90 degrees
    double tiltY = 0;
    double rotationDeg = 0;  // 0 <= r < 360
    bool operator==(const Event&) const = default;
  };

  struct Live {
    bool pen = false;     // a pen, eraser or unknown tool is in range or down
    bool finger = false;  // a finger is down
    bool any() const { return pen || finger; }
    bool operator==(const Live&) const = default;
  };

  explicit PenMapper(const Wire::InputCaps& caps = {});

  std::vector<Event> mapSample(const Wire::InputSample& sample, const TargetRect& rect,
                               const std::optional<FrameSize>& frame);
  Live live() const;
  // One release per track (up for contact, hoverExit for hover), then no tracks.
  std::vector<Event> releaseAll();
  void reset();

  const Wire::InputCaps& caps() const { return caps_; }
  const std::map<uint8_t, Track>& tracks() const { return tracks_; }

 private:
  Wire::InputCaps caps_;
  // Ordered by pointer id so releases come out in a stable order.
  std::map<uint8_t, Track> tracks_;
};

}  // namespace lumenrail

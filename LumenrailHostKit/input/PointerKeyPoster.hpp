#pragma once

#include <cstdint>

#include "input/Geometry.hpp"
#include "input/InputEventSink.hpp"
#include "input/KeyStateSync.hpp"
#include "input/WheelSteps.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// The event translation shared by the sinks that can post only one pointer,
// its left and right buttons, wheel steps and keys (XTest, Mutter's remote
// desktop): magnify becomes Control plus wheel steps, rotate is dropped, and
// pressure, tilt and proximity cannot travel. A sink supplies the primitives
// and calls translate() under its own lock.
class PointerKeyPoster : public InputEventSink {
 protected:
  explicit PointerKeyPoster(Log::Sink log) : log_(std::move(log)) {}

  bool translate(const InputEvent& event);
  // Releases every key and button this sink holds down.
  void releaseEverything();

  virtual void moveTo(Point p) = 0;
  virtual void button(bool right, bool down) = 0;
  // Whole wheel steps; positive scrolls up and left.
  virtual void scroll(int32_t up, int32_t left) = 0;
  // A pan's scroll in pixels (positive up and left) with its phase: wheel
  // steps unless the sink can scroll smoothly.
  virtual bool scrollPixels(double up, double left, int64_t phase);
  // A pinch's whole zoom steps with its phase: each step as Control plus a
  // wheel step unless the sink holds Control otherwise.
  virtual bool zoomSteps(int32_t steps, int64_t phase);
  virtual void key(uint16_t evdevCode, bool down) = 0;
  // True when what was posted reached the desktop.
  virtual bool flush() = 0;

  const Log::Sink log_;
  KeyStateSync keySync_;

 private:
  void keys(const std::vector<KeyStateSync::KeyAction>& actions);

  WheelSteps vertical_;
  WheelSteps horizontal_;
  WheelSteps zoom_;
  bool buttonDown_[2] = {false, false};
  bool loggedRotate_ = false;
};

}  // namespace lumenrail

#pragma once

#include <memory>
#include <mutex>

#include "input/Geometry.hpp"
#include "input/InputEventSink.hpp"
#include "input/KeyStateSync.hpp"
#include "input/WheelSteps.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

class MutterRemoteDesktop;

// Posts through a Mutter remote-desktop session (GNOME Wayland): the pointer
// absolutely on the session's stream, the left and right buttons, wheel
// steps and evdev keys. Event locations are global desktop points; the
// stream's monitor starts at `streamOrigin` in them. Pressure, tilt and
// proximity cannot travel this way; magnify becomes Control plus wheel
// steps; rotate is dropped. Mutter reports no modifier state, so the flags
// are those of the keys this sink holds down.
class MutterInputSink final : public InputEventSink {
 public:
  MutterInputSink(std::shared_ptr<MutterRemoteDesktop> session, Point streamOrigin, Log::Sink log = nullptr);
  // Releases every key and button it pressed.
  ~MutterInputSink() override;
  MutterInputSink(const MutterInputSink&) = delete;
  MutterInputSink& operator=(const MutterInputSink&) = delete;

  bool post(const InputEvent& event) override;
  uint64_t modifierFlags() override;

 private:
  bool postLocked(const InputEvent& event);
  void moveTo(Point p);
  void keys(const std::vector<KeyStateSync::KeyAction>& actions);

  std::mutex lock_;
  const std::shared_ptr<MutterRemoteDesktop> session_;
  const Point origin_;
  Log::Sink log_;
  KeyStateSync keySync_;
  WheelSteps vertical_;
  WheelSteps horizontal_;
  WheelSteps zoom_;
  bool buttonDown_[2] = {false, false};
  bool loggedRotate_ = false;
};

}  // namespace lumenrail

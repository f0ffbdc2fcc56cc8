#pragma once

#include <memory>
#include <mutex>

#include "input/PointerKeyPoster.hpp"

namespace lumenrail {

class MutterRemoteDesktop;

// Posts through a Mutter remote-desktop session (GNOME Wayland): the pointer
// absolutely on the session's stream, the left and right buttons, smooth
// finger scrolling and evdev keys. Event locations are global desktop
// points; the stream's monitor starts at `streamOrigin` in them. Pressure,
// tilt and proximity cannot travel this way; a pinch holds Control from its
// first wheel step to its end; rotate is dropped. Mutter reports no modifier
// state, so the flags are those of the keys this sink holds down.
class MutterInputSink final : public PointerKeyPoster {
 public:
  MutterInputSink(std::shared_ptr<MutterRemoteDesktop> session, Point streamOrigin, Log::Sink log = nullptr);
  // Releases every key and button it pressed.
  ~MutterInputSink() override;
  MutterInputSink(const MutterInputSink&) = delete;
  MutterInputSink& operator=(const MutterInputSink&) = delete;

  bool post(const InputEvent& event) override;
  uint64_t modifierFlags() override;

 private:
  void moveTo(Point p) override;
  void button(bool right, bool down) override;
  void scroll(int32_t up, int32_t left) override;
  void key(uint16_t evdevCode, bool down) override;
  bool scrollPixels(double up, double left, int64_t phase) override;
  bool zoomSteps(int32_t steps, int64_t phase) override;
  bool flush() override { return true; }  // every call is answered before it returns
  void releasePinchControl();

  std::mutex lock_;
  const std::shared_ptr<MutterRemoteDesktop> session_;
  const Point origin_;
  bool failing_ = false;  // under lock_: the last post failed
  bool pinchControl_ = false;  // under lock_: this pinch pressed Control
};

}  // namespace lumenrail

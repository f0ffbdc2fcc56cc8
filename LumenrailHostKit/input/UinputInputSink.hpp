#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "input/InputEventSink.hpp"
#include "input/UinputEventPlanner.hpp"
#include "platform/Log.hpp"

struct libevdev_uinput;

namespace lumenrail {

// Posts through three uinput devices made with libevdev: "Lumenrail Pen"
// (a screen tablet with pressure, tilt and the pen and rubber tools),
// "Lumenrail Pointer" (absolute pointer, two buttons, high-resolution wheels)
// and "Lumenrail Keyboard". Needs write access to /dev/uinput.
class UinputInputSink final : public InputEventSink {
 public:
  // `desktop`: the desktop area in points the absolute axes span. Nothing
  // (with the reason in `why`) when the devices cannot be made.
  static std::shared_ptr<UinputInputSink> open(Rect desktop, std::string* why = nullptr, Log::Sink log = nullptr);
  ~UinputInputSink() override;
  UinputInputSink(const UinputInputSink&) = delete;
  UinputInputSink& operator=(const UinputInputSink&) = delete;

  bool post(const InputEvent& event) override;
  // uinput devices cannot read back the keyboard state; the modifier keys
  // this sink itself holds are what it can tell.
  uint64_t modifierFlags() override;

  // The device nodes' sysfs names, for diagnostics and tests.
  std::string devnode(UinputEventPlanner::Device device) const;

 private:
  UinputInputSink(Rect desktop, Log::Sink log);
  bool write(const std::vector<UinputEventPlanner::Write>& writes);

  std::mutex lock_;
  UinputEventPlanner planner_;
  Log::Sink log_;
  libevdev_uinput* devices_[3] = {nullptr, nullptr, nullptr};
  bool loggedRotate_ = false;
};

}  // namespace lumenrail

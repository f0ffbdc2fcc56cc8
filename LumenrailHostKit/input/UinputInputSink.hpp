#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "input/InputEventSink.hpp"
#include "input/UinputEventPlanner.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// Posts through three uinput devices made with libevdev: "Lumenrail Pen"
// (a screen tablet with pressure, tilt, rotation and the pen and rubber
// tools), "Lumenrail Pointer" (absolute pointer, two buttons,
// high-resolution wheels) and "Lumenrail Keyboard". Needs write access to
// /dev/uinput. Positions follow the X screen's size (UinputEventPlanner).
class UinputInputSink final : public InputEventSink {
 public:
  // Bus "virtual"; product ids tell the devices apart.
  static constexpr uint16_t vendorId = 0x4c52;
  static constexpr uint16_t penProductId = 1;

  // Where the planned writes go: the uinput devices, or a recorder in tests.
  class Devices {
   public:
    virtual ~Devices() = default;
    virtual bool write(UinputEventPlanner::Device device, uint16_t type, uint16_t code, int32_t value) = 0;
    virtual std::string devnode(UinputEventPlanner::Device) const { return ""; }
  };
  // The X screen's size as the server announces its changes.
  class ScreenWatch {
   public:
    virtual ~ScreenWatch() = default;
    // The newest size announced since the last call, if any. Never blocks.
    virtual std::optional<Size> changed() = 0;
  };

  // A fixed screen of `desktop`'s size, not followed. Nothing (with the
  // reason in `why`) when the devices cannot be made.
  static std::shared_ptr<UinputInputSink> open(Rect desktop, std::string* why = nullptr, Log::Sink log = nullptr);
  // The pen tablet alone, its axes spread over `area` of the desktop (where
  // the compositor maps it to one monitor); other events are not posted.
  static std::shared_ptr<UinputInputSink> openPen(Rect area, std::string* why = nullptr, Log::Sink log = nullptr);
  // The tablet, pointer and keyboard (the tablet alone with `penOnly`);
  // nothing, with the reason in `why`, when they cannot be made.
  static std::unique_ptr<Devices> makeDevices(std::string* why, bool penOnly = false);
  // Over any devices and screen watch (`watch` may be empty).
  static std::shared_ptr<UinputInputSink> create(std::unique_ptr<Devices> devices, Size screen,
                                                 std::unique_ptr<ScreenWatch> watch, Log::Sink log = nullptr);
  // Releases whatever the devices still hold, then removes them.
  ~UinputInputSink() override;
  UinputInputSink(const UinputInputSink&) = delete;
  UinputInputSink& operator=(const UinputInputSink&) = delete;

  bool post(const InputEvent& event) override;
  // uinput devices cannot read back the keyboard state; the modifier keys
  // this sink itself holds are what it can tell.
  uint64_t modifierFlags() override;

  // The device nodes' sysfs names, for diagnostics and tests.
  std::string devnode(UinputEventPlanner::Device device) const;
  Size screen();
  void setArea(Rect area);

 private:
  UinputInputSink(std::unique_ptr<Devices> devices, Size screen, std::unique_ptr<ScreenWatch> watch, Log::Sink log);
  bool write(const std::vector<UinputEventPlanner::Write>& writes);
  void followScreen();

  std::mutex lock_;
  UinputEventPlanner planner_;
  std::unique_ptr<Devices> devices_;
  std::unique_ptr<ScreenWatch> watch_;
  Log::Sink log_;
  bool loggedRotate_ = false;
};

}  // namespace lumenrail

#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "input/PointerKeyPoster.hpp"
#include "input/XInputConnection.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// Posts through the X server's XTest extension: pointer moves, the left and
// right buttons, wheel steps and keys. Pressure, tilt and proximity cannot
// travel this way; magnify becomes Control plus wheel steps; rotate is dropped.
class XTestInputSink final : public PointerKeyPoster {
 public:
  // Nothing when the display cannot be opened or has no XTest.
  static std::shared_ptr<XTestInputSink> open(const std::string& display, Log::Sink log = nullptr);
  ~XTestInputSink() override;

  bool post(const InputEvent& event) override;
  uint64_t modifierFlags() override;

 private:
  XTestInputSink(std::unique_ptr<XInputConnection> x, Log::Sink log);
  void fake(uint8_t type, uint8_t detail, int x = 0, int y = 0);
  void wheel(int32_t steps, uint8_t positiveButton, uint8_t negativeButton);
  void moveTo(Point p) override;
  void button(bool right, bool down) override;
  void scroll(int32_t up, int32_t left) override;
  void key(uint16_t evdevCode, bool down) override;
  bool flush() override;

  std::mutex lock_;
  std::unique_ptr<XInputConnection> x_;
};

}  // namespace lumenrail

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "input/UinputInputSink.hpp"
#include "input/XInputConnection.hpp"

namespace lumenrail {

// The X screen's size, followed through RandR screen-change events on a
// connection of its own. Read from one thread at a time (the sink's lock).
class XScreenWatch final : public UinputInputSink::ScreenWatch {
 public:
  // Nothing when the display cannot be opened or has no RandR.
  static std::unique_ptr<XScreenWatch> open(const std::string& display);

  Size size() const { return size_; }
  std::optional<Size> changed() override;

 private:
  XScreenWatch(std::unique_ptr<XInputConnection> x, uint8_t firstEvent);

  std::unique_ptr<XInputConnection> x_;
  uint8_t firstEvent_ = 0;
  Size size_;
};

}  // namespace lumenrail

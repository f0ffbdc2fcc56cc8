#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "input/Geometry.hpp"

namespace lumenrail {

// The desktop's windows as the pen injector needs them: which application
// owns the topmost normal window under a point, and bringing it to the front.
class WindowActivator {
 public:
  struct AppWindow {
    uint32_t window = 0;
    int32_t pid = 0;
    std::string appName;  // empty when the window names none
    bool operator==(const AppWindow&) const = default;
  };

  virtual ~WindowActivator() = default;
  // The topmost visible normal window containing the point that names its
  // process; nothing when there is none.
  virtual std::optional<AppWindow> windowAt(Point point) = 0;
  virtual bool isActive(const AppWindow& window) = 0;
  // Asks the desktop to activate the window; false when the request failed.
  virtual bool activate(const AppWindow& window) = 0;
  // The process owning the frontmost normal window.
  virtual std::optional<int32_t> frontWindowOwner() = 0;
};

}  // namespace lumenrail

#include "desktop/x11/LinuxPermissionProbe.hpp"

#include "input/InputPermission.hpp"
#include "platform/X11Display.hpp"

namespace lumenrail {

bool LinuxPermissionProbe::screenCapture() {
  try {
    auto display = X11Display::open(xDisplay_);
    X11ScreenGrabber grabber(display);
    grabber.grab(0, 0, 1, 1);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool LinuxPermissionProbe::mayPostInput() { return InputPermission::mayPostInput(xDisplay_); }

}  // namespace lumenrail

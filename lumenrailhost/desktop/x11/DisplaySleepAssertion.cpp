#include "desktop/x11/DisplaySleepAssertion.hpp"

namespace lumenrail {

DisplaySleepAssertion::DisplaySleepAssertion(std::string reason, std::string xDisplay)
    : reason_(std::move(reason)), xDisplay_(std::move(xDisplay)) {}

DisplaySleepAssertion::~DisplaySleepAssertion() { release(); }

bool DisplaySleepAssertion::acquire() {
  std::lock_guard lock(mutex_);
  if (connection_) return true;
  try {
    auto display = X11Display::open(xDisplay_);
    if (!display->suspendScreenSaver(true)) return false;
    connection_ = std::move(display);
    return true;
  } catch (const X11Error&) {
    return false;
  }
}

void DisplaySleepAssertion::release() {
  std::lock_guard lock(mutex_);
  if (!connection_) return;
  if (!connection_->broken()) connection_->suspendScreenSaver(false);
  connection_.reset();
}

bool DisplaySleepAssertion::isHeld() const {
  std::lock_guard lock(mutex_);
  return connection_ != nullptr;
}

}  // namespace lumenrail

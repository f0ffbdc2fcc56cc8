#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "ports/SleepAssertion.hpp"
#include "platform/X11Display.hpp"

namespace lumenrail {

// Keeps the display awake while the host serves: the X screen saver and
// display power saving stay suspended for as long as the assertion holds
// its own connection to the X server (the server ends a suspension when
// its client goes away, so a crashed host cannot leave the screen awake).
// Acquire and release may come from any thread.
class DisplaySleepAssertion final : public SleepAssertion {
 public:
  // `xDisplay` is ":N"; empty means $DISPLAY.
  explicit DisplaySleepAssertion(std::string reason, std::string xDisplay = {});
  ~DisplaySleepAssertion() override;
  DisplaySleepAssertion(const DisplaySleepAssertion&) = delete;
  DisplaySleepAssertion& operator=(const DisplaySleepAssertion&) = delete;

  // True when held; a second acquire while held takes nothing more.
  bool acquire() override;
  void release() override;
  bool isHeld() const;
  const std::string& reason() const { return reason_; }

 private:
  const std::string reason_;
  const std::string xDisplay_;
  mutable std::mutex mutex_;
  std::shared_ptr<X11Display> connection_;  // held while the assertion is
};

}  // namespace lumenrail

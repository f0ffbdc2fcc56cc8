#pragma once

// A private PulseAudio daemon for tests: its own runtime folder and HOME in a
// temporary folder, one null sink "lr_test" (whose monitor is what capture
// hears) and the native protocol on a socket in that folder only. A tone can
// be played into the sink for as long as a test needs it.

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace lumenrail::test {

class PrivatePulse {
 public:
  PrivatePulse();
  ~PrivatePulse();
  PrivatePulse(const PrivatePulse&) = delete;
  PrivatePulse& operator=(const PrivatePulse&) = delete;

  // False when the daemon could not start; `whyNot()` says why (for GTEST_SKIP).
  bool running() const { return pid_ > 0; }
  const std::string& whyNot() const { return whyNot_; }
  // The server string for clients ("unix:<dir>/native").
  const std::string& server() const { return server_; }

  // Plays a sine of `hz` (amplitude 0.5, 48 kHz stereo float) into `sink`
  // until stopTone(); one tone at a time.
  bool playTone(double hz, const std::string& sink = "lr_test");
  void stopTone();

  // Runs pactl against this daemon; true when it exits with 0.
  bool pactl(const std::vector<std::string>& args) const;

 private:
  void start();
  std::string dir_;
  std::string server_;
  std::string whyNot_;
  pid_t pid_ = -1;
  std::atomic<bool> toneStop_{false};
  std::thread tone_;
};

}  // namespace lumenrail::test

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ports/SleepAssertion.hpp"
#include "platform/Clock.hpp"

namespace lumenrail {

class DBusConnection;

// Keeps a GNOME session from going idle (screen blank, suspend) while the
// host serves: an idle inhibit of org.gnome.SessionManager, held on a D-Bus
// connection of its own (the session manager drops the inhibit of a client
// that goes away, so a crashed host cannot keep the screen awake). Acquire
// and release may come from any thread.
class GnomeIdleInhibit final : public SleepAssertion {
 public:
  // `busAddress` empty: the session bus.
  explicit GnomeIdleInhibit(std::string reason, std::string busAddress = {},
                            uint64_t callTimeoutNs = 5 * kNsPerSecond);
  ~GnomeIdleInhibit() override;
  GnomeIdleInhibit(const GnomeIdleInhibit&) = delete;
  GnomeIdleInhibit& operator=(const GnomeIdleInhibit&) = delete;

  // True when held; a second acquire while held takes nothing more. False
  // without a session manager (or one that does not answer in time).
  bool acquire() override;
  void release() override;
  bool isHeld() const;
  const std::string& reason() const { return reason_; }

  static constexpr uint32_t kInhibitIdle = 8;

 private:
  const std::string reason_;
  const std::string busAddress_;
  const uint64_t callTimeoutNs_;
  mutable std::mutex mutex_;
  std::shared_ptr<DBusConnection> bus_;  // held while the inhibit is
  uint32_t cookie_ = 0;
};

}  // namespace lumenrail

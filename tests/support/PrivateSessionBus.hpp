#pragma once

// A private D-Bus session bus for tests: dbus-daemon with the session
// configuration, on a Unix socket of its own, stopped with the object.

#include <sys/types.h>

#include <string>

namespace lumenrail::test {

class PrivateSessionBus {
 public:
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& whyNot() const { return whyNot_; }
  // For DBUS_SESSION_BUS_ADDRESS or a direct connection.
  const std::string& address() const { return address_; }
  // Fault injection: the daemon stops answering (SIGSTOP) until the object goes.
  void pause();

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::string whyNot_;
};

}  // namespace lumenrail::test

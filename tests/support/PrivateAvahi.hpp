#pragma once

// A private Avahi daemon for tests: its own D-Bus daemon on a socket in a
// temporary folder (never the system bus), and avahi-daemon in a network
// namespace of its own whose only interface is loopback, with a private /run
// for its pid file and socket. Nothing it announces can leave the machine.

#include <sys/types.h>

#include <string>
#include <vector>

namespace lumenrail::test {

class PrivateAvahi {
 public:
  PrivateAvahi();
  ~PrivateAvahi();
  PrivateAvahi(const PrivateAvahi&) = delete;
  PrivateAvahi& operator=(const PrivateAvahi&) = delete;

  // False when the daemons could not start; `whyNot()` says why (for GTEST_SKIP).
  bool running() const { return avahiPid_ > 0; }
  const std::string& whyNot() const { return whyNot_; }
  // For DBUS_SYSTEM_BUS_ADDRESS, which the Avahi client library reads.
  const std::string& busAddress() const { return busAddress_; }

  // avahi-browse's resolved entries ("=;" lines, names unescaped) of a service type.
  std::vector<std::string> browse(const std::string& type) const;

 private:
  void start();
  std::string dir_;
  std::string busAddress_;
  std::string whyNot_;
  pid_t busPid_ = -1;
  pid_t avahiPid_ = -1;
};

}  // namespace lumenrail::test

#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/Clock.hpp"

namespace lumenrail {

// Keeps the same device from being announced again within 30 seconds. Time
// comes from the uptime clock: a wall clock set back would otherwise keep
// every known device quiet for as long as it went back.
class ConnectAnnouncer final {
 public:
  static constexpr double quiet = 30.0;  // seconds
  static constexpr uint64_t quietNs = static_cast<uint64_t>(quiet * kNsPerSecond);

  explicit ConnectAnnouncer(NowNs now = uptimeNs);

  // Whether a connection of `device` may be announced now; a cable and a
  // network connection of one device count apart.
  bool admit(const std::string& device, bool overNetwork);

 private:
  NowNs now_;
  std::map<std::string, uint64_t> last_;
};

}  // namespace lumenrail

#pragma once

#include <map>
#include <string>

namespace lumenrail {

// Keeps the same device from being announced again within 30 seconds.
class ConnectAnnouncer final {
 public:
  static constexpr double quiet = 30.0;

  // `now` in seconds; a cable and a network connection of one device count apart.
  bool admit(const std::string& device, bool overNetwork, double now);

 private:
  std::map<std::string, double> last_;
};

}  // namespace lumenrail

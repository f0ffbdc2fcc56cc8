#include "platform/AwdlStatus.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace lumenrail::AwdlStatus {

bool isActive(uint32_t flags) { return (flags & IFF_UP) && (flags & IFF_RUNNING); }

bool isActive(const std::string& interfaceName) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool active = false;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (it->ifa_name && interfaceName == it->ifa_name) {
      active = isActive(static_cast<uint32_t>(it->ifa_flags));
      break;
    }
  }
  freeifaddrs(list);
  return active;
}

bool isLoopback6(std::span<const uint8_t> a) {
  if (a.size() != 16) return false;
  static constexpr uint8_t zeros[15] = {};
  if (std::memcmp(a.data(), zeros, 15) == 0 && a[15] == 1) return true;
  return std::memcmp(a.data(), zeros, 10) == 0 && a[10] == 0xFF && a[11] == 0xFF && a[12] == 127;
}

bool isNetworkPeer(int fd) {
  sockaddr_storage storage{};
  socklen_t len = sizeof storage;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &len) != 0) return false;
  if (storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    return reinterpret_cast<const uint8_t*>(&in->sin_addr)[0] != 127;
  }
  if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    return !isLoopback6(std::span<const uint8_t>(in6->sin6_addr.s6_addr, 16));
  }
  return false;
}

}  // namespace lumenrail::AwdlStatus

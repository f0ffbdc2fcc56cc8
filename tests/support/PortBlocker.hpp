#pragma once

// Holds a TCP port busy: a listening socket on every IPv4 address, on a port
// the system picked.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace lumenrail::test {

struct PortBlocker {
  int fd = -1;
  uint16_t port = 0;  // 0 when the socket could not listen

  PortBlocker() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) return;
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port = ntohs(addr.sin_port);
  }
  ~PortBlocker() { release(); }
  PortBlocker(const PortBlocker&) = delete;
  PortBlocker& operator=(const PortBlocker&) = delete;

  void release() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  // True when a fresh socket may listen on `port` now.
  static bool canListen(uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(s, 1) == 0;
    ::close(s);
    return ok;
  }
};

}  // namespace lumenrail::test

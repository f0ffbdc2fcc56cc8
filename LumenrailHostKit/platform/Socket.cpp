#include "platform/Socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace lumenrail::Socket {

bool sendAll(int fd, ByteView data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

ssize_t recvSome(int fd, uint8_t* buffer, size_t size, int flags) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, size, flags);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool recvAll(int fd, uint8_t* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = recvSome(fd, buffer + got, size - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool setIntOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool setReceiveTimeoutMs(int fd, int64_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

std::optional<uint32_t> peerIpv4(int fd) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) {
    return std::nullopt;
  }
  return ntohl(peer.sin_addr.s_addr);
}

std::string ipv4Text(uint32_t address) {
  in_addr a{htonl(address)};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace lumenrail::Socket

namespace lumenrail {

std::string fdTag(int fd) { return "(fd " + std::to_string(fd) + ")"; }

}  // namespace lumenrail

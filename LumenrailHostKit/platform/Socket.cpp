#include "platform/Socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/tcp.h>  // the whole tcp_info: glibc's copy stops short of the delivery rate
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

namespace lumenrail::Socket {

bool sendAll(int fd, ByteView data) { return sendAll(fd, data, 0); }

bool sendAll(int fd, ByteView data, size_t piece) {
  size_t sent = 0;
  while (sent < data.size()) {
    const size_t left = data.size() - sent;
    const ssize_t n = ::send(fd, data.data() + sent, piece > 0 ? std::min(left, piece) : left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::optional<LinkReading> readLink(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return std::nullopt;
  LinkReading r;
  // Older kernels fill less of the record: what they leave out reads as unknown.
  const auto has = [&](const auto& field) {
    return reinterpret_cast<const char*>(&field) + sizeof field <= reinterpret_cast<const char*>(&info) + len;
  };
  if (has(info.tcpi_delivery_rate)) {
    r.deliveryRateBytesPerSecond = info.tcpi_delivery_rate;
    r.appLimited = info.tcpi_delivery_rate_app_limited;
  }
  if (has(info.tcpi_min_rtt)) r.minRttUs = info.tcpi_min_rtt;
  if (has(info.tcpi_notsent_bytes)) r.unsentBytes = info.tcpi_notsent_bytes;
  r.segmentBytes = info.tcpi_snd_mss;
  int queued = 0;
  if (::ioctl(fd, SIOCOUTQ, &queued) == 0) r.queuedBytes = queued;
  return r;
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

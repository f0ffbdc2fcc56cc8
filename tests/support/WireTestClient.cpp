#include "support/WireTestClient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace lumenrail::test {

uint32_t le32(const RawBytes& b, size_t at) {
  return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 | uint32_t(b.at(at + 3)) << 24;
}

uint64_t le64(const RawBytes& b, size_t at) { return uint64_t(le32(b, at)) | uint64_t(le32(b, at + 4)) << 32; }

void putLE16(RawBytes& b, uint16_t v) {
  b.push_back(uint8_t(v & 0xFF));
  b.push_back(uint8_t(v >> 8));
}

void putLE32(RawBytes& b, uint32_t v) {
  putLE16(b, uint16_t(v & 0xFFFF));
  putLE16(b, uint16_t(v >> 16));
}

void putLE64(RawBytes& b, uint64_t v) {
  putLE32(b, uint32_t(v & 0xFFFFFFFF));
  putLE32(b, uint32_t(v >> 32));
}

RawBytes framed(uint8_t type, const RawBytes& payload) {
  RawBytes out{type};
  putLE32(out, uint32_t(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

WireTestClient::WireTestClient(uint16_t port, int receiveBuffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("connect failed");
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

WireTestClient::WireTestClient(int fd, bool) : fd_(fd) {}

WireTestClient WireTestClient::fromFd(int fd) { return WireTestClient(fd, true); }

WireTestClient::WireTestClient(WireTestClient&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

WireTestClient::~WireTestClient() { close(); }

void WireTestClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint16_t WireTestClient::localPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

bool WireTestClient::sendRaw(const RawBytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

bool WireTestClient::send(uint8_t type, const RawBytes& payload) { return sendRaw(framed(type, payload)); }

bool WireTestClient::readExact(uint8_t* out, size_t n, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t got = 0;
  while (got < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, int(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t k = ::recv(fd_, out + got, n - got, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k == 0 && got == 0) endedBetweenPackets_ = true;
    if (k <= 0) return false;
    got += size_t(k);
  }
  return true;
}

std::optional<RawPacket> WireTestClient::read(int timeoutMs) {
  uint8_t header[5];
  endedBetweenPackets_ = false;
  if (!readExact(header, 5, timeoutMs)) return std::nullopt;
  RawPacket p;
  p.type = header[0];
  const uint32_t len = uint32_t(header[1]) | uint32_t(header[2]) << 8 | uint32_t(header[3]) << 16 |
                       uint32_t(header[4]) << 24;
  if (len > 64u * 1024 * 1024) return std::nullopt;
  p.payload.resize(len);
  if (len > 0 && !readExact(p.payload.data(), len, timeoutMs)) {
    endedBetweenPackets_ = false;
    return std::nullopt;
  }
  return p;
}

std::optional<RawPacket> WireTestClient::readUntil(uint8_t type, std::vector<RawPacket>* before, int timeoutMs) {
  // One deadline for the whole wait: a stream of other packets (a still
  // screen's repeats come ten a second) must not keep it open for ever.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto p = read(int(left.count()));
    if (!p) return std::nullopt;
    if (p->type == type) return p;
    if (before) before->push_back(std::move(*p));
  }
}

bool WireTestClient::waitClosed(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t sink[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, int(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t k = ::recv(fd_, sink, sizeof sink, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return true;
  }
}

RawBytes WireTestClient::clientCaps(uint32_t bits) {
  RawBytes b;
  putLE32(b, bits);
  return b;
}

RawBytes WireTestClient::clientMode(uint32_t w, uint32_t h, uint32_t hz) {
  RawBytes b;
  putLE32(b, w);
  putLE32(b, h);
  putLE32(b, hz);
  return b;
}

RawBytes WireTestClient::peerVersion(uint16_t level, uint8_t platform, const std::string& version) {
  RawBytes b;
  putLE16(b, level);
  b.push_back(platform);
  b.push_back(uint8_t(version.size()));
  b.insert(b.end(), version.begin(), version.end());
  return b;
}

RawBytes WireTestClient::encoderConfig(uint8_t fields, uint8_t quality, uint8_t fps, uint32_t kbps) {
  RawBytes b{fields, quality, fps, 0};
  putLE32(b, kbps);
  return b;
}

int connectFrom(uint16_t port, uint32_t from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(from);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace lumenrail::test

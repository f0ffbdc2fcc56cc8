#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.hpp"

namespace lumenrail::Socket {

// Sends every byte (MSG_NOSIGNAL: a vanished peer is an error, not a signal);
// EINTR is retried. Empty data succeeds.
bool sendAll(int fd, ByteView data);
// The same, handing the kernel at most `piece` bytes a call (0: no limit).
bool sendAll(int fd, ByteView data, size_t piece);
// One recv with EINTR retried; the result of recv otherwise.
ssize_t recvSome(int fd, uint8_t* buffer, size_t size, int flags = 0);
// Exactly `size` bytes, or false on close or error.
bool recvAll(int fd, uint8_t* buffer, size_t size);

bool setIntOption(int fd, int level, int name, int value);

// What the kernel knows of a TCP connection's link (TCP_INFO); nothing for
// another kind of socket or an error.
struct LinkReading {
  uint64_t deliveryRateBytesPerSecond = 0;  // 0 until data has been acknowledged
  bool appLimited = false;  // that rate was measured while the sender had too little to fill the link
  uint32_t minRttUs = 0;
  uint32_t unsentBytes = 0;
  int64_t queuedBytes = 0;  // unsent and unacknowledged
  uint32_t segmentBytes = 0;  // the largest segment it sends
};
std::optional<LinkReading> readLink(int fd);
// SO_RCVTIMEO; 0 means no timeout.
bool setReceiveTimeoutMs(int fd, int64_t ms);

// The IPv4 peer address (host order); nothing for another family or an error.
std::optional<uint32_t> peerIpv4(int fd);
// Dotted-quad text of an IPv4 address in host order.
std::string ipv4Text(uint32_t address);

}  // namespace lumenrail::Socket

namespace lumenrail {

// How log lines name a connection: "(fd 7)".
std::string fdTag(int fd);

}  // namespace lumenrail

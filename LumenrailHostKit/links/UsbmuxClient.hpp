#pragma once

// The usbmuxd protocol: list attached iOS devices and open a tunnel to a TCP
// port of one of them. Every call opens its own connection to the daemon;
// nothing is kept between calls.

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/Bytes.hpp"

namespace lumenrail::UsbmuxClient {

inline constexpr const char* defaultSocketPath = "/var/run/usbmuxd";
// A daemon answers in milliseconds; a hung one must not hold the caller.
inline constexpr int64_t defaultTimeoutMs = 3000;
// Replies are a plist of a few hundred bytes per device; anything near this is not usbmuxd.
inline constexpr uint32_t maxReplyLength = 0x800000;

// The daemon's socket: USBMUXD_SOCKET_ADDRESS when it names a Unix socket
// ("UNIX:/path" or an absolute path), else defaultSocketPath.
std::string socketPathFromEnvironment();

// Where the daemon listens and how long one exchange may block.
struct Endpoint {
  std::string socketPath = socketPathFromEnvironment();
  int64_t timeoutMs = defaultTimeoutMs;
  bool operator==(const Endpoint&) const = default;
};

struct Device {
  int64_t deviceID = 0;
  std::string serial = "?";
  std::string connectionType = "?";
  bool isUSB() const { return connectionType == "USB"; }
  bool operator==(const Device&) const = default;
};

class UsbmuxError : public std::exception {
 public:
  enum class Kind : uint8_t { socket, connectSocket, io, badReply, connectRefused };

  static UsbmuxError socket(int32_t err);
  static UsbmuxError connectSocket(int32_t err, const std::string& path = defaultSocketPath);
  static UsbmuxError io(std::string text);
  static UsbmuxError badReply(std::string text);
  static UsbmuxError connectRefused(int64_t result);

  Kind kind;
  int32_t err = 0;     // socket, connectSocket
  int64_t result = 0;  // connectRefused: the daemon's Number
  std::string text;    // io, badReply
  std::string path;    // connectSocket

  // The daemon could not be reached at all (not running, wrong path, no permission).
  bool daemonUnreachable() const { return kind == Kind::socket || kind == Kind::connectSocket; }
  // The human-readable text of the log lines.
  std::string description() const;
  // The case and its value: "connectRefused(3)".
  const char* what() const noexcept override { return printed_.c_str(); }

 private:
  explicit UsbmuxError(Kind k);
  void print();
  std::string printed_;
};

// Throws UsbmuxError; the devices in the daemon's order.
std::vector<Device> listDevices(const Endpoint& endpoint = {});
// Throws UsbmuxError; on success the returned descriptor is a raw byte tunnel
// to the device's port, owned by the caller, with the exchange's time-outs cleared.
int connect(int64_t deviceID, uint16_t port, const Endpoint& endpoint = {});

// The body of a reply (after its 16-byte header), apart from the socket.
// Both throw UsbmuxError::badReply for a body that is not a plist dictionary
// or lacks the key they read.
std::vector<Device> devicesFromReply(ByteView body);
// The daemon's Number: 0 for a tunnel, else why it refused.
int64_t connectResultFromReply(ByteView body);

// The port as Connect carries it: network byte order read back as a host integer.
uint16_t networkOrderPort(uint16_t port);

}  // namespace lumenrail::UsbmuxClient

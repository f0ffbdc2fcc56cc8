#pragma once

// A client of the wire protocol written apart from the host's code: it frames
// and reads packets from its own byte tables, so the server is checked against
// an independent reading of the format.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumenrail::test {

using RawBytes = std::vector<uint8_t>;

// Type codes, from the protocol table.
namespace Code {
inline constexpr uint8_t hello = 0x01, audio = 0x02, frame = 0x03, requestIdr = 0x05, timeSync = 0x06,
                         requestHello = 0x07, advisory = 0x08, bye = 0x09, inkObserved = 0x0A, frameChunk = 0x0C,
                         foregroundApp = 0x0D, input = 0x10, inputCaps = 0x12, clientMode = 0x13,
                         clientInfo = 0x14, clientCaps = 0x15, keyCombo = 0x16, viewport = 0x17,
                         viewportApplied = 0x18, encoderConfig = 0x1C, encoderConfigApplied = 0x1D,
                         peerVersion = 0x20;
}

struct RawPacket {
  uint8_t type = 0;
  RawBytes payload;
};

uint32_t le32(const RawBytes& b, size_t at);
uint64_t le64(const RawBytes& b, size_t at);
void putLE16(RawBytes& b, uint16_t v);
void putLE32(RawBytes& b, uint32_t v);
void putLE64(RawBytes& b, uint64_t v);
RawBytes framed(uint8_t type, const RawBytes& payload);

class WireTestClient {
 public:
  // Connects to 127.0.0.1:port; fails the test when it cannot.
  // A positive `receiveBuffer` is set before connecting, so the window stays small.
  explicit WireTestClient(uint16_t port, int receiveBuffer = 0);
  // Wraps an already connected socket (one end of a socket pair).
  static WireTestClient fromFd(int fd);
  WireTestClient(WireTestClient&& other) noexcept;
  WireTestClient(const WireTestClient&) = delete;
  WireTestClient& operator=(const WireTestClient&) = delete;
  ~WireTestClient();

  int fd() const { return fd_; }
  // The port the client connected from, for telling the server's sessions apart.
  uint16_t localPort() const;

  bool sendRaw(const RawBytes& bytes);
  bool send(uint8_t type, const RawBytes& payload = {});
  // Reads one whole packet; nothing on close, error or timeout.
  std::optional<RawPacket> read(int timeoutMs = 10000);
  // The last read found the end of the stream where a packet would begin.
  bool endedBetweenPackets() const { return endedBetweenPackets_; }
  // Reads until a packet of `type` arrives within the timeout, collecting what comes before it.
  std::optional<RawPacket> readUntil(uint8_t type, std::vector<RawPacket>* before = nullptr, int timeoutMs = 10000);
  // True when the server closed the connection (EOF) within the timeout.
  bool waitClosed(int timeoutMs = 10000);
  void close();

  // Payload builders from the protocol tables.
  static RawBytes clientCaps(uint32_t bits);
  static RawBytes clientMode(uint32_t w, uint32_t h, uint32_t hz);
  static RawBytes peerVersion(uint16_t level, uint8_t platform, const std::string& version);
  static RawBytes encoderConfig(uint8_t fields, uint8_t quality, uint8_t fps, uint32_t kbps);

 private:
  explicit WireTestClient(int fd, bool);
  bool readExact(uint8_t* out, size_t n, int timeoutMs);
  int fd_ = -1;
  bool endedBetweenPackets_ = false;
};

// A raw connection to loopback `port` from loopback address `from` (host
// order): addresses other than 127.0.0.1 stand for other hosts on the LAN.
// -1 when it cannot be made.
int connectFrom(uint16_t port, uint32_t from);

}  // namespace lumenrail::test

#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/ByteOrder.hpp"
#include "secure/ClientHandshake.hpp"
#include "secure/PairingProtocol.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "support/WireTestClient.hpp"
#include "wire/Wire.hpp"

namespace lumenrail::test {

// A pairing client over loopback TCP: the prologue through ClientHandshake,
// then the wire stream sealed with the client's paired (or QR) keys.
class PairingClient {
 public:
  // `from`: the loopback address it dials from, standing for another host.
  // `deviceId`: the text the device id is made from (a device pinned with the
  // same id as another's replaces it).
  PairingClient(uint16_t port, std::string name = "Pad", bool canShowSas = true,
                Ed25519PrivateKey identity = Ed25519PrivateKey::generate(), uint32_t from = INADDR_LOOPBACK,
                const std::string& deviceId = "test-device")
      : identity_(identity),
        handshake_(identity, X25519PrivateKey::generate(), std::move(name), canShowSas, PairingProtocol::deviceIdFrom(deviceId),
                   PairingProtocol::DeviceKind::iPad) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from != INADDR_LOOPBACK) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(from);
      EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~PairingClient() { close(); }
  PairingClient(const PairingClient&) = delete;
  PairingClient& operator=(const PairingClient&) = delete;

  Bytes publicKey() const { return identity_.publicKey(); }
  std::string fingerprint() const { return PairingProtocol::fingerprint(identity_.publicKey()); }

  bool sendRaw(ByteView bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += size_t(n);
    }
    return true;
  }
  // The magic and ClientKeyx; with `sliceMagic` the magic goes one byte at a
  // time, spaced so that the server sees it partial (well inside its 250 ms).
  bool sendHello(bool sliceMagic = false) {
    const Bytes hello = handshake_.hello();
    if (!sliceMagic) return sendRaw(hello);
    for (size_t i = 0; i < PairingProtocol::magic.size(); ++i) {
      if (!sendRaw(ByteView(hello.data() + i, 1))) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    return sendRaw(ByteView(hello.data() + PairingProtocol::magic.size(), hello.size() - PairingProtocol::magic.size()));
  }

  // One prologue frame: type and payload.
  std::optional<std::pair<uint8_t, Bytes>> readFrame(Bytes* raw = nullptr) {
    Bytes header(3);
    if (!readExact(header.data(), 3)) return std::nullopt;
    Bytes payload(PairingProtocol::headerLength(header));
    if (!readExact(payload.data(), payload.size())) return std::nullopt;
    if (raw) {
      *raw = header;
      raw->insert(raw->end(), payload.begin(), payload.end());
    }
    return std::make_pair(header[0], payload);
  }

  // Magic and ClientKeyx, HostKeyx: the six-digit code the client shows.
  std::optional<std::string> exchangeKeys(bool sliceMagic = false) {
    if (!sendHello(sliceMagic)) return std::nullopt;
    auto frame = readFrame();
    if (!frame || frame->first != PairingProtocol::typeHostKeyx) return std::nullopt;
    const auto host = handshake_.processHostKeyx(frame->second);
    EXPECT_TRUE(host.signatureValid);
    return host.sas;
  }
  bool confirm(bool ok) { return sendRaw(handshake_.confirm(ok)); }
  Bytes confirmBytes(bool ok) const { return handshake_.confirm(ok); }
  // Keys, code and a valid confirmation: a new device now waits for the owner.
  bool prove() { return exchangeKeys() && confirm(true); }

  void keyPaired() {
    const auto keys = WifiKeySchedule::derive(handshake_.rootKey(), WifiKeySchedule::Role::client,
                                              WifiKeySchedule::Flavor::paired);
    sealer_ = std::make_unique<WifiRecordSealer>(keys.sendKey);
    opener_ = std::make_unique<WifiRecordOpener>(keys.recvKey);
  }
  void keyPsk(const Bytes& psk) {
    const auto keys = WifiKeySchedule::derive(psk, WifiKeySchedule::Role::client, WifiKeySchedule::Flavor::qrPsk);
    sealer_ = std::make_unique<WifiRecordSealer>(keys.sendKey);
    opener_ = std::make_unique<WifiRecordOpener>(keys.recvKey);
  }

  // One wire packet out of the sealed stream; nothing on close or timeout.
  std::optional<RawPacket> readSealed() {
    for (;;) {
      if (plain_.size() >= Wire::headerSize) {
        const uint32_t length = ByteOrder::readLE32(plain_, 1);
        if (plain_.size() >= Wire::headerSize + length) {
          RawPacket p;
          p.type = plain_[0];
          p.payload.assign(plain_.begin() + Wire::headerSize, plain_.begin() + Wire::headerSize + length);
          plain_.erase(plain_.begin(), plain_.begin() + Wire::headerSize + length);
          return p;
        }
      }
      uint8_t buf[4096];
      if (!waitReadable()) return std::nullopt;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return std::nullopt;
      const Bytes opened = opener_->push(ByteView(buf, size_t(n)));
      plain_.insert(plain_.end(), opened.begin(), opened.end());
    }
  }
  bool sendSealed(uint8_t type, const Bytes& payload = {}) {
    return sendRaw(sealer_->seal(framed(type, payload)));
  }

  // True when the server closed the connection.
  bool waitClosed() {
    uint8_t buf[256];
    for (;;) {
      if (!waitReadable()) return false;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
    }
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

 private:
  bool waitReadable() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 10000) == 1;
  }
  bool readExact(uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
      if (!waitReadable()) return false;
      const ssize_t r = ::recv(fd_, out + got, n - got, 0);
      if (r <= 0) return false;
      got += size_t(r);
    }
    return true;
  }

  Ed25519PrivateKey identity_;
  ClientHandshake handshake_;
  int fd_ = -1;
  std::unique_ptr<WifiRecordSealer> sealer_;
  std::unique_ptr<WifiRecordOpener> opener_;
  Bytes plain_;
};

}  // namespace lumenrail::test

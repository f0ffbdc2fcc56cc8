#include "support/StrangerCrowd.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/X25519.hpp"
#include "secure/PairingProtocol.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail::test {

namespace {
// A crowd dials again at once, but its threads look round at most this often.
constexpr int kPollMs = 5;
constexpr int64_t kMaxDialsPerAddress = 200000;

bool sendSome(int fd, ByteView bytes) {
  return bytes.empty() || ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
}
}  // namespace

StrangerCrowd::StrangerCrowd(uint16_t port, uint32_t firstAddress, int addresses, int linksPerAddress,
                             Opening opening)
    : port_(port), opening_(std::move(opening)) {
  for (int i = 0; i < addresses; ++i) {
    threads_.emplace_back([this, address = firstAddress + uint32_t(i), linksPerAddress] {
      run(address, linksPerAddress);
    });
  }
}

StrangerCrowd::~StrangerCrowd() { stop(); }

void StrangerCrowd::stop() {
  stopping_ = true;
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void StrangerCrowd::run(uint32_t address, int links) {
  std::vector<pollfd> fds(size_t(links), pollfd{-1, POLLIN, 0});
  int64_t dials = 0;
  while (!stopping_) {
    for (auto& p : fds) {
      if (p.fd >= 0 || dials >= kMaxDialsPerAddress) continue;
      p.fd = connectFrom(port_, address);
      if (p.fd < 0) continue;
      ++dials;
      ++dialled_;
      ++open_;
      const Bytes bytes = opening_ ? opening_() : Bytes{};
      sendSome(p.fd, bytes);
    }
    ::poll(fds.data(), fds.size(), kPollMs);
    for (auto& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      uint8_t buf[4096];
      const ssize_t n = ::recv(p.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
      ::close(p.fd);  // dropped: dial again
      p.fd = -1;
      --open_;
    }
  }
  for (auto& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
}

Bytes pairingHelloNaming(ByteView identityKey) {
  namespace P = PairingProtocol;
  Bytes payload = X25519PrivateKey::generate().publicKey();
  payload.insert(payload.end(), identityKey.begin(), identityKey.end());
  Bytes hello(P::magic.begin(), P::magic.end());
  const Bytes frame = P::encode(P::typeClientKeyx, payload);
  hello.insert(hello.end(), frame.begin(), frame.end());
  return hello;
}

}  // namespace lumenrail::test

#include "support/StrangerCrowd.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/X25519.hpp"
#include "secure/PairingProtocol.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail::test {

namespace {
// A crowd dials again at once, but its threads look round at most this often.
constexpr int kPollMs = 5;
constexpr int64_t kMaxDialsPerAddress = 200000;
constexpr int kMaxThreads = 16;

bool sendSome(int fd, ByteView bytes) {
  return bytes.empty() || ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
}
}  // namespace

StrangerCrowd::StrangerCrowd(uint16_t port, uint32_t firstAddress, int addresses, int linksPerAddress,
                             Opening opening, Leave leave)
    : port_(port), opening_(std::move(opening)), leave_(leave) {
  const int threads = std::min(addresses, kMaxThreads);
  std::vector<std::vector<uint32_t>> shares(static_cast<size_t>(threads));
  for (int i = 0; i < addresses; ++i) shares[size_t(i % threads)].push_back(firstAddress + uint32_t(i));
  for (auto& share : shares) {
    threads_.emplace_back([this, share = std::move(share), linksPerAddress] { run(share, linksPerAddress); });
  }
}

StrangerCrowd::~StrangerCrowd() { stop(); }

void StrangerCrowd::stop() {
  stopping_ = true;
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void StrangerCrowd::run(std::vector<uint32_t> addresses, int links) {
  const size_t perAddress = size_t(links);
  std::vector<pollfd> fds(addresses.size() * perAddress, pollfd{-1, POLLIN, 0});
  std::vector<int64_t> dials(addresses.size(), 0);
  auto drop = [&](pollfd& p) {
    ::close(p.fd);
    p.fd = -1;
    --open_;
  };
  while (!stopping_) {
    for (size_t i = 0; i < fds.size() && !stopping_; ++i) {
      pollfd& p = fds[i];
      int64_t& made = dials[i / perAddress];
      if (p.fd >= 0 || made >= kMaxDialsPerAddress) continue;
      p.fd = connectFrom(port_, addresses[i / perAddress]);
      if (p.fd < 0) continue;
      ++made;
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
      if (n > 0 && leave_ == Leave::onReply) {
        drop(p);  // hangs up as soon as the host answers
        continue;
      }
      if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
      drop(p);  // dropped: dial again
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

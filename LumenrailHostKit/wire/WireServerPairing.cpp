// The pairing prologue that a pairing connection runs before its session, on
// the session's connection thread: recognising the magic, the framed
// prologue messages, the owner's approval and the paired greeting.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "links/HostHandshake.hpp"
#include "links/PairedDevicesStore.hpp"
#include "links/PairingProtocol.hpp"
#include "links/WifiRecordSealer.hpp"
#include "platform/NamedThread.hpp"
#include "platform/Socket.hpp"
#include "platform/X25519.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace P = PairingProtocol;

namespace {

std::string fdTag(int fd) { return "(fd " + std::to_string(fd) + ")"; }

constexpr uint64_t kSniffWindowNs = 250 * kNsPerMs;
// Where the kernel's readiness does not honour SO_RCVLOWAT, a partial magic
// is looked at again after this pause rather than in a busy loop.
constexpr uint64_t kPartialMagicPauseNs = 5 * kNsPerMs;
constexpr int64_t kPrologueReadTimeoutMs = 120'000;
constexpr uint64_t kApprovalPollNs = 250 * kNsPerMs;
constexpr int kGreetingChecks = 8;  // of 250 ms each
constexpr int64_t kGreetingCheckMs = 250;

bool isRetry(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

double secondsSince1970() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

WireServer::Pairing::Pairing(Ed25519PrivateKey identity_, std::shared_ptr<PairedDevicesStore> peers_,
                             Approve approve_, CancelApprove cancelApprove_)
    : identity(std::move(identity_)),
      peers(std::move(peers_)),
      approve(std::move(approve_)),
      cancelApprove(std::move(cancelApprove_)) {}

// Peeks without consuming. A partial magic waits for more bytes inside the
// same 250 ms window: SO_RCVLOWAT makes the socket readable only once the
// whole magic (or the peer's end) is there, so the thread sleeps in poll()
// instead of peeking in a loop. A partial magic that never completes is
// taken as other bytes.
WireServer::Sniff WireServer::sniffPrelude(int fd) {
  constexpr size_t kMagicLen = P::magic.size();
  const uint64_t deadline = uptimeNs() + kSniffWindowNs;
  size_t seen = 0;  // bytes of a partial magic already waiting
  bool lowatTried = false;
  bool lowatRaised = false;
  Sniff result;
  for (;;) {
    const uint64_t now = uptimeNs();
    if (now >= deadline) {
      result = seen > 0 ? Sniff::otherBytes : Sniff::nothing;
      break;
    }
    pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
    const int timeoutMs = static_cast<int>((deadline - now + kNsPerMs - 1) / kNsPerMs);
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      result = Sniff::closed;
      break;
    }
    if (ready == 0) continue;  // the window is over: decided at the top
    uint8_t buf[kMagicLen] = {};
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
      result = Sniff::closed;
      break;
    }
    if (n < 0) {
      if (isRetry(errno)) continue;
      result = Sniff::closed;
      break;
    }
    const auto got = static_cast<size_t>(n);
    if (!std::equal(buf, buf + got, P::magic.begin())) {
      result = Sniff::otherBytes;
      break;
    }
    if (got == kMagicLen) {
      result = Sniff::prelude;
      break;
    }
    if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) {
      result = Sniff::otherBytes;  // the peer stopped sending inside the magic
      break;
    }
    if (!lowatTried) {
      lowatTried = true;
      lowatRaised = Socket::setIntOption(fd, SOL_SOCKET, SO_RCVLOWAT, static_cast<int>(kMagicLen));
    } else if (got == seen) {
      // Readiness came without a new byte: pause rather than spin.
      const uint64_t left = deadline - std::min(deadline, uptimeNs());
      std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(kPartialMagicPauseNs, left)));
    }
    seen = got;
  }
  if (lowatRaised) Socket::setIntOption(fd, SOL_SOCKET, SO_RCVLOWAT, 1);
  return result;
}

std::optional<Bytes> WireServer::readPrologueMessage(int fd, uint8_t expect) {
  uint8_t header[P::headerLen];
  if (!Socket::recvAll(fd, header, sizeof header)) return std::nullopt;
  if (P::headerType(header) != expect) return std::nullopt;
  const uint16_t length = P::headerLength(header);
  if (length == 0 || length > P::maxPayload) return std::nullopt;
  Bytes payload(length);
  if (!Socket::recvAll(fd, payload.data(), payload.size())) return std::nullopt;
  return payload;
}

std::optional<WireServer::PrologueResult> WireServer::runPairingPrologue(int fd, const Pairing& pairing) {
  const std::string tag = " " + fdTag(fd);
  // Every read of the prologue gives up after 120 s of silence; stop() ends
  // them sooner by shutting the socket down.
  Socket::setReceiveTimeoutMs(fd, kPrologueReadTimeoutMs);
  std::optional<std::string> pendingPrompt;  // the fingerprint whose prompt is up

  // One step of the handshake or the store; a thrown error is the prologue's
  // error: logged, and the connection is dropped.
  auto attempt = [&](auto&& step) -> std::optional<decltype(step())> {
    try {
      return step();
    } catch (const std::exception& e) {
      event("pairing prologue error: " + std::string(e.what()) + tag);
      return std::nullopt;
    }
  };

  auto run = [&]() -> std::optional<PrologueResult> {
    if (!pairing.peers) {
      event("pairing prologue error: no paired-device store" + tag);
      return std::nullopt;
    }
    uint8_t magic[P::magic.size()];
    if (!Socket::recvAll(fd, magic, sizeof magic) || !std::equal(magic, magic + sizeof magic, P::magic.begin())) {
      return std::nullopt;
    }
    HostHandshake handshake(pairing.identity, X25519PrivateKey::generate());
    const auto keyx = readPrologueMessage(fd, P::typeClientKeyx);
    if (!keyx) return std::nullopt;
    const auto processed = attempt([&] { return handshake.processClientKeyx(*keyx); });
    if (!processed) return std::nullopt;
    const HostHandshake::ClientInfo& info = *processed;
    const std::string& fp = info.fingerprint;
    const bool known = pairing.peers->lookup(info.identityPublicKey).has_value();
    event("pairing: " + std::string(known ? "known" : "new") + " device " + fp + ", SAS " + info.sas + tag);

    if (!known && !info.canShowSas) {
      Socket::sendAll(fd, HostHandshake::hostReject(P::rejectUnknownDevice));
      event("pairing: refused " + fp + " — unknown device on a silent reconnect (needs re-pairing); no sheet raised" +
            tag);
      return std::nullopt;
    }
    const auto hostKeyx = attempt([&] { return handshake.hostKeyx(); });
    if (!hostKeyx || !Socket::sendAll(fd, *hostKeyx)) return std::nullopt;

    // A new device: the owner is asked while the client's user compares the
    // code. The approval thread holds the box and copies of what it shows,
    // nothing of the server or the session, so it may outlive both.
    std::shared_ptr<ApprovalBox> box;
    if (!known) {
      box = std::make_shared<ApprovalBox>();
      pendingPrompt = fp;
      NamedThread approval("lumenrail-pair-approve",
                           [box, approve = pairing.approve, sas = info.sas, fingerprint = fp, name = info.name] {
                             bool allowed = false;
                             try {
                               allowed = approve && approve(sas, fingerprint, name);
                             } catch (...) {
                               allowed = false;  // an approver that fails refuses
                             }
                             {
                               std::lock_guard lock(box->lock);
                               box->decision = allowed;
                             }
                             box->sem.signal();
                           });
      approval.detach();
    }

    const auto confirmPayload = readPrologueMessage(fd, P::typeClientConfirm);
    if (!confirmPayload) return std::nullopt;
    const auto confirm = attempt([&] { return handshake.processClientConfirm(*confirmPayload); });
    if (!confirm) return std::nullopt;
    if (!confirm->ok || !confirm->signatureValid) {
      event(std::string("pairing: client ") + (confirm->ok ? "sent a bad signature" : "declined") + tag);
      return std::nullopt;
    }
    // The root key before anything is written: the store never records a
    // device whose link could not be keyed.
    auto root = attempt([&] { return handshake.rootKey(); });
    if (!root) return std::nullopt;

    if (!known) {
      switch (awaitApproval(fd, *box, pairing.approvalTimeoutSeconds)) {
        case Answer::none:
          event("pairing: no answer for " + fp + " — the device left or the prompt timed out" + tag);
          return std::nullopt;
        case Answer::refused:
          pendingPrompt.reset();
          event("pairing: not approved " + fp + tag);
          return std::nullopt;
        case Answer::approved:
          pendingPrompt.reset();
          break;
      }
      // Not pinned means not paired: the next start would not know the device.
      const auto replaced = attempt([&] {
        return pairing.peers->pin(info.identityPublicKey, info.name.empty() ? fp : info.name, info.deviceId,
                                  info.deviceKind, secondsSince1970());
      });
      if (!replaced) return std::nullopt;
      std::string line = "pairing: pinned " + fp;
      if (!info.name.empty()) line += " (" + info.name + ")";
      for (size_t i = 0; i < replaced->size(); ++i) line += (i ? ", " : " — replaced ") + (*replaced)[i];
      event(line);
    } else {
      try {
        pairing.peers->touch(info.identityPublicKey,
                             info.name.empty() ? std::nullopt : std::optional<std::string>(info.name), info.deviceId,
                             info.deviceKind, secondsSince1970());
      } catch (const std::exception& e) {
        // The device is paired already; only its last-seen time is lost.
        event("pairing: record of " + fp + " not refreshed (" + e.what() + ")" + tag);
      }
    }
    return PrologueResult{std::move(*root), fp};
  };

  std::optional<PrologueResult> result = run();
  if (pendingPrompt) {
    event("pairing: ceremony ended before the owner answered — dismissing the sheet for " + *pendingPrompt + tag);
    if (pairing.cancelApprove) pairing.cancelApprove(*pendingPrompt);
  }
  Socket::setReceiveTimeoutMs(fd, 0);
  return result;
}

WireServer::Answer WireServer::awaitApproval(int fd, ApprovalBox& box, int64_t timeoutSeconds) {
  const uint64_t deadline = uptimeNs() + static_cast<uint64_t>(std::max<int64_t>(timeoutSeconds, 0)) * kNsPerSecond;
  for (;;) {
    const uint64_t now = uptimeNs();
    if (box.sem.waitFor(std::min(kApprovalPollNs, deadline > now ? deadline - now : 0))) {
      std::lock_guard lock(box.lock);
      return box.decision ? Answer::approved : Answer::refused;
    }
    if (uptimeNs() >= deadline) return Answer::none;
    if (!accepting_) return Answer::none;  // the server is stopping
    uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return Answer::none;  // the client hung up
    if (n < 0 && !isRetry(errno)) return Answer::none;
  }
}

bool WireServer::greetPaired(int fd, WifiRecordSealer& sealer, Greeting& sent) {
  {
    std::lock_guard lock(helloMutex_);
    sent.hello = Wire::hello(hello_);
  }
  sent.version = hostPeerVersionPacket();
  if (!sendPacket(fd, sent.hello, &sealer)) return false;
  if (sent.version && !sendPacket(fd, *sent.version, &sealer)) return false;

  // A client that only wanted to pair leaves now; one that stays sends soon
  // or is served after 2 s anyway.
  Socket::setReceiveTimeoutMs(fd, kGreetingCheckMs);
  bool stays = true;
  for (int tries = 0; tries < kGreetingChecks && accepting_; ++tries) {
    uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK);
    if (n > 0) break;
    if (n < 0 && isRetry(errno)) continue;
    stays = false;  // closed, or another error
    break;
  }
  Socket::setReceiveTimeoutMs(fd, 0);
  return stays && accepting_;
}

}  // namespace lumenrail

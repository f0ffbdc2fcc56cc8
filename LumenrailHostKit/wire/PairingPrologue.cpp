#include "wire/PairingPrologue.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/Socket.hpp"
#include "platform/X25519.hpp"
#include "secure/HostHandshake.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingProtocol.hpp"

namespace lumenrail {

namespace P = PairingProtocol;

namespace {

std::string fdTag(int fd) { return "(fd " + std::to_string(fd) + ")"; }

constexpr uint64_t kSniffWindowNs = 250 * kNsPerMs;
// Where the kernel's readiness does not honour SO_RCVLOWAT, a partial magic
// is looked at again after this pause rather than in a busy loop.
constexpr uint64_t kPartialMagicPauseNs = 5 * kNsPerMs;
constexpr uint64_t kApprovalPollNs = 250 * kNsPerMs;

bool isRetry(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

double secondsSince1970() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

PairingPrologue::Pairing::Pairing(Ed25519PrivateKey identity_, std::shared_ptr<PairedDevicesStore> peers_,
                                  Approve approve_, CancelApprove cancelApprove_)
    : identity(std::move(identity_)),
      peers(std::move(peers_)),
      approve(std::move(approve_)),
      cancelApprove(std::move(cancelApprove_)) {}

// Peeks without consuming. A partial magic waits for more bytes inside the
// same 250 ms window: SO_RCVLOWAT makes the socket readable only once the
// whole magic (or the peer's end) is there, so the thread sleeps in poll()
// instead of peeking in a loop. A partial magic that never completes is
// taken as other bytes. The window runs from arrival, and the socket is
// looked at once more when it is over: what came in time counts however
// late this thread got to it.
PairingPrologue::Sniff PairingPrologue::sniff(int fd, uint64_t arrivedNs, const NowNs& clock) {
  constexpr size_t kMagicLen = P::magic.size();
  const uint64_t deadline = arrivedNs + kSniffWindowNs;
  size_t seen = 0;  // bytes of a partial magic already waiting
  bool lowatTried = false;
  bool lowatRaised = false;
  Sniff result;
  for (;;) {
    const uint64_t now = clock();
    const bool over = now >= deadline;
    pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
    const int timeoutMs = over ? 0 : static_cast<int>((deadline - now + kNsPerMs - 1) / kNsPerMs);
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      result = Sniff::closed;
      break;
    }
    if (ready > 0) {
      uint8_t buf[kMagicLen] = {};
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0 || (n < 0 && !isRetry(errno))) {
        result = Sniff::closed;
        break;
      }
      if (n > 0) {
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
        } else if (got == seen && !over) {
          // Readiness came without a new byte: pause rather than spin.
          const uint64_t left = deadline - std::min(deadline, clock());
          std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(kPartialMagicPauseNs, left)));
        }
        seen = got;
      }
    }
    if (over) {
      result = seen > 0 ? Sniff::otherBytes : Sniff::nothing;
      break;
    }
  }
  if (lowatRaised) Socket::setIntOption(fd, SOL_SOCKET, SO_RCVLOWAT, 1);
  return result;
}

// Reads each step of the prologue against its deadline, so a peer that
// trickles its bytes cannot hold the connection thread past it. Waits in
// slices, so a deadline on the injected clock is noticed without new bytes.
class PairingPrologue::Reader {
 public:
  Reader(int fd, const NowNs& now) : fd_(fd), now_(now) {}

  // The next step must be in within `limitNs` from `fromNs` (now by default).
  void startStep(uint64_t limitNs, std::optional<uint64_t> fromNs = std::nullopt) {
    limitNs_ = limitNs;
    deadlineNs_ = fromNs.value_or(now_()) + limitNs;
  }

  bool read(uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
      const uint64_t now = now_();
      if (now >= deadlineNs_) {
        timedOut = true;
        return false;
      }
      pollfd p{fd_, POLLIN, 0};
      const uint64_t sliceNs = std::min(deadlineNs_ - now, kPrologueSliceNs);
      const int ready = ::poll(&p, 1, static_cast<int>((sliceNs + kNsPerMs - 1) / kNsPerMs));
      if (ready < 0 && errno != EINTR) return false;
      if (ready <= 0) continue;
      const ssize_t n = ::recv(fd_, out + got, size - got, MSG_DONTWAIT);
      if (n == 0) return false;
      if (n < 0) {
        if (isRetry(errno)) continue;
        return false;
      }
      got += static_cast<size_t>(n);
    }
    return true;
  }

  // One framed message of the expected type; its length is bounded before
  // anything is allocated.
  std::optional<Bytes> readPrologueMessage(uint8_t expect) {
    uint8_t header[P::headerLen];
    if (!read(header, sizeof header)) return std::nullopt;
    if (P::headerType(header) != expect) return std::nullopt;
    const uint16_t length = P::headerLength(header);
    if (length == 0 || length > P::maxPayload) return std::nullopt;
    Bytes payload(length);
    if (!read(payload.data(), payload.size())) return std::nullopt;
    return payload;
  }

  bool timedOut = false;
  uint64_t limitNs_ = 0;

 private:
  static constexpr uint64_t kPrologueSliceNs = 250 * kNsPerMs;
  int fd_;
  uint64_t deadlineNs_ = 0;
  const NowNs& now_;
};

PairingPrologue::PairingPrologue(Pairing pairing, Env env)
    : pairing_(std::move(pairing)),
      env_(std::move(env)),
      desk_(ApprovalDesk::create(pairing_.maxWaitingApprovals)) {}

int64_t PairingPrologue::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

bool PairingPrologue::enter(int64_t& running) {
  std::lock_guard lock(mutex_);
  running = running_;
  if (running >= pairing_.maxPrologues) return false;
  ++running_;
  return true;
}

void PairingPrologue::leave() {
  std::lock_guard lock(mutex_);
  --running_;
}

std::optional<PairingPrologue::Result> PairingPrologue::run(int fd, bool pairedOnly) {
  const std::string tag = " " + fdTag(fd);
  // Read before the link counts as running, so no observer of the count
  // can see the first step begin later than it did.
  const uint64_t arrivedNs = env_.nowNs();
  int64_t running = 0;
  const bool counted = enter(running);
  // Beyond the handshakes open to new devices, a paired device still gets in.
  std::string refusal;
  if (!counted) {
    refusal = "pairing: " + std::to_string(running) + " pairing handshake(s) already running — refused" + tag;
  } else if (pairedOnly) {
    refusal = "pairing: only paired devices are admitted now — refused" + tag;
  }
  ApprovalDesk::Claim claim;
  std::optional<Result> result = exchange(fd, arrivedNs, refusal, claim);
  const std::string fingerprint = claim.fingerprint;
  if (desk_->withdraw(claim, pairing_.cancelApprove)) {
    env_.say("pairing: ceremony ended before the owner answered — dismissing the sheet for " + fingerprint + tag);
  }
  if (counted) leave();
  return result;
}

std::optional<PairingPrologue::Result> PairingPrologue::exchange(int fd, uint64_t arrivedNs,
                                                                const std::string& newDeviceRefusal,
                                                                ApprovalDesk::Claim& claim) {
  const Pairing& pairing = pairing_;
  const std::string tag = " " + fdTag(fd);
  Reader reader(fd, env_.nowNs);
  // A read that failed: only the deadline is worth a line (a peer that left
  // or sent a wrong frame is dropped quietly).
  auto readFailed = [&]() -> std::optional<Result> {
    if (reader.timedOut) {
      env_.say("pairing: handshake step not finished within " + std::to_string(reader.limitNs_ / kNsPerSecond) +
               " s" + tag);
    }
    return std::nullopt;
  };

  // One step of the handshake or the store; a thrown error is the prologue's
  // error: logged, and the connection is dropped.
  auto attempt = [&](auto&& step) -> std::optional<decltype(step())> {
    try {
      return step();
    } catch (const std::exception& e) {
      env_.say("pairing prologue error: " + std::string(e.what()) + tag);
      return std::nullopt;
    }
  };

  if (!pairing.peers) {
    env_.say("pairing prologue error: no paired-device store" + tag);
    return std::nullopt;
  }
  // The magic and the key exchange are one step, due from arrival.
  uint8_t magic[P::magic.size()];
  reader.startStep(pairing.stageTimeoutNs, arrivedNs);
  if (!reader.read(magic, sizeof magic)) return readFailed();
  if (!std::equal(magic, magic + sizeof magic, P::magic.begin())) return std::nullopt;
  HostHandshake handshake(pairing.identity, X25519PrivateKey::generate());
  const auto keyx = reader.readPrologueMessage(P::typeClientKeyx);
  if (!keyx) return readFailed();
  const auto processed = attempt([&] { return handshake.processClientKeyx(*keyx); });
  if (!processed) return std::nullopt;
  const HostHandshake::ClientInfo& info = *processed;
  const std::string& fp = info.fingerprint;
  const bool known = pairing.peers->lookup(info.identityPublicKey).has_value();
  env_.say("pairing: " + std::string(known ? "known" : "new") + " device " + fp + ", SAS " + info.sas + tag);

  if (!known && !info.canShowSas) {
    Socket::sendAll(fd, HostHandshake::hostReject(P::rejectUnknownDevice));
    env_.say("pairing: refused " + fp + " — unknown device on a silent reconnect (needs re-pairing); no sheet raised" +
             tag);
    return std::nullopt;
  }
  if (!known && !newDeviceRefusal.empty()) {
    env_.say(newDeviceRefusal);
    return std::nullopt;
  }
  // The user of a client that can show the code compares it before confirming.
  reader.startStep(info.canShowSas ? pairing.confirmTimeoutNs : pairing.stageTimeoutNs);
  const auto hostKeyx = attempt([&] { return handshake.hostKeyx(); });
  if (!hostKeyx || !Socket::sendAll(fd, *hostKeyx)) return std::nullopt;
  const auto confirmPayload = reader.readPrologueMessage(P::typeClientConfirm);
  if (!confirmPayload) return readFailed();
  const auto confirm = attempt([&] { return handshake.processClientConfirm(*confirmPayload); });
  if (!confirm) return std::nullopt;
  if (!confirm->ok || !confirm->signatureValid) {
    env_.say(std::string("pairing: client ") + (confirm->ok ? "sent a bad signature" : "declined") + tag);
    return std::nullopt;
  }
  // The root key before the owner is asked or anything is written: the store
  // never records a device whose link could not be keyed.
  auto root = attempt([&] { return handshake.rootKey(); });
  if (!root) return std::nullopt;

  if (known) {
    try {
      pairing.peers->touch(info.identityPublicKey,
                           info.name.empty() ? std::nullopt : std::optional<std::string>(info.name), info.deviceId,
                           info.deviceKind, secondsSince1970());
    } catch (const std::exception& e) {
      // The device is paired already; only its last-seen time is lost.
      env_.say("pairing: record of " + fp + " not refreshed (" + e.what() + ")" + tag);
    }
    return Result{std::move(*root), fp};
  }

  // A new device has proven its identity key: only now does it take a seat
  // at the owner's desk, so a peer that cannot sign holds none and raises no
  // prompt. After ClientConfirm a refusal is the connection's close.
  int64_t seats = 0;
  const ApprovalDesk::Seat seat = desk_->take(claim, fp, seats);
  if (seat == ApprovalDesk::Seat::alreadyWaiting) {
    env_.say("pairing: " + fp + " already waits for the owner — refused" + tag);
    return std::nullopt;
  }
  if (seat == ApprovalDesk::Seat::full) {
    env_.say("pairing: " + std::to_string(seats) + " device(s) already wait for the owner — refused " + fp + tag);
    return std::nullopt;
  }
  const uint64_t answerBy =
      env_.nowNs() + static_cast<uint64_t>(std::max<int64_t>(pairing.approvalTimeoutSeconds, 0)) * kNsPerSecond;
  std::string error;
  if (!desk_->ask(claim, pairing.approve, info.sas, info.name, env_.startThread, error)) {
    env_.say("pairing: could not ask the owner (" + error + ") — refused " + fp);
    return std::nullopt;
  }
  switch (awaitApproval(fd, *claim.box, answerBy)) {
    case Answer::none:
      env_.say("pairing: no answer for " + fp + " — the device left or the prompt timed out" + tag);
      return std::nullopt;
    case Answer::refused:
      claim.box.reset();
      env_.say("pairing: not approved " + fp + tag);
      return std::nullopt;
    case Answer::approved:
      claim.box.reset();
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
  env_.say(line);
  return Result{std::move(*root), fp};
}

PairingPrologue::Answer PairingPrologue::awaitApproval(int fd, ApprovalDesk::Box& box, uint64_t deadline) {
  for (;;) {
    const uint64_t now = env_.nowNs();
    if (box.sem.waitFor(std::min(kApprovalPollNs, deadline > now ? deadline - now : 0))) {
      std::lock_guard lock(box.lock);
      return box.decision ? Answer::approved : Answer::refused;
    }
    if (env_.nowNs() >= deadline) return Answer::none;
    if (!env_.serving()) return Answer::none;  // the server is stopping
    uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return Answer::none;  // the client hung up
    if (n < 0 && !isRetry(errno)) return Answer::none;
  }
}

}  // namespace lumenrail

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

  // While set, checked between slices: true ends the read (`abandoned`).
  std::function<bool()> abandonWhen;

  bool read(uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
      if (abandonWhen && abandonWhen()) {
        abandoned = true;
        return false;
      }
      const uint64_t now = now_();
      if (now >= deadlineNs_) {
        // What came in time counts, however late this thread got to it.
        const ssize_t n = ::recv(fd_, out + got, size - got, MSG_DONTWAIT);
        if (n > 0) {
          got += static_cast<size_t>(n);
          continue;
        }
        if (n == 0 || !isRetry(errno)) return false;
        timedOut = true;
        return false;
      }
      pollfd p{fd_, POLLIN, 0};
      const uint64_t sliceNs = std::min(deadlineNs_ - now, abandonWhen ? kWatchSliceNs : kPrologueSliceNs);
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
  bool abandoned = false;
  uint64_t limitNs_ = 0;

 private:
  static constexpr uint64_t kPrologueSliceNs = 250 * kNsPerMs;
  // An owner's refusal ends the wait for ClientConfirm this soon.
  static constexpr uint64_t kWatchSliceNs = 50 * kNsPerMs;
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

std::optional<PairingPrologue::Result> PairingPrologue::run(int fd, const Link& link) {
  const std::string tag = " " + fdTag(fd);
  {
    std::lock_guard lock(mutex_);
    ++running_;
  }
  ApprovalDesk::Claim claim;
  std::optional<Result> result = exchange(fd, link, claim);
  const std::string fingerprint = claim.fingerprint;
  if (desk_->withdraw(claim, pairing_.cancelApprove)) {
    env_.say("pairing: ceremony ended before the owner answered — dismissing the sheet for " + fingerprint + tag);
  }
  link.waitsForOwner(false);
  std::lock_guard lock(mutex_);
  --running_;
  return result;
}

std::optional<PairingPrologue::Result> PairingPrologue::exchange(int fd, const Link& link,
                                                                ApprovalDesk::Claim& claim) {
  const Pairing& pairing = pairing_;
  const std::string tag = " " + fdTag(fd);
  Reader reader(fd, env_.nowNs);
  // Until the device holds a seat at the owner's desk, what it causes is a
  // stranger's doing and shares the budget for such lines.
  bool seated = false;
  auto line = [&](const std::string& text) { (seated ? env_.say : env_.note)(text); };
  // A read that failed: only the deadline is worth a line (a peer that left
  // or sent a wrong frame is dropped quietly).
  auto readFailed = [&]() -> std::optional<Result> {
    if (reader.timedOut) {
      line("pairing: handshake step not finished within " + std::to_string(reader.limitNs_ / kNsPerSecond) + " s" +
           tag);
    }
    return std::nullopt;
  };

  // One step of the handshake or the store; a thrown error is the prologue's
  // error: logged, and the connection is dropped.
  auto attempt = [&](auto&& step) -> std::optional<decltype(step())> {
    try {
      return step();
    } catch (const std::exception& e) {
      line("pairing prologue error: " + std::string(e.what()) + tag);
      return std::nullopt;
    }
  };

  if (!pairing.peers) {
    env_.say("pairing prologue error: no paired-device store" + tag);
    return std::nullopt;
  }
  // The magic and the key exchange are one step, due from arrival.
  uint8_t magic[P::magic.size()];
  reader.startStep(pairing.stageTimeoutNs, link.arrivedNs);
  if (!reader.read(magic, sizeof magic)) return readFailed();
  if (!std::equal(magic, magic + sizeof magic, P::magic.begin())) return std::nullopt;
  link.progressed();
  HostHandshake handshake(pairing.identity, X25519PrivateKey::generate());
  const auto keyx = reader.readPrologueMessage(P::typeClientKeyx);
  if (!keyx) return readFailed();
  const auto processed = attempt([&] { return handshake.processClientKeyx(*keyx); });
  if (!processed) return std::nullopt;
  link.progressed();
  const HostHandshake::ClientInfo& info = *processed;
  const std::string& fp = info.fingerprint;
  // The identity key crosses the network in clear: naming a paired one
  // proves nothing until ClientConfirm is signed with it.
  const bool known = pairing.peers->lookup(info.identityPublicKey).has_value();
  const std::string introduction =
      "pairing: " + std::string(known ? "known" : "new") + " device " + fp + ", SAS " + info.sas + tag;

  if (!known && !info.canShowSas) {
    env_.note(introduction);
    Socket::sendAll(fd, HostHandshake::hostReject(P::rejectUnknownDevice));
    env_.note("pairing: refused " + fp +
              " — unknown device on a silent reconnect (needs re-pairing); no sheet raised" + tag);
    return std::nullopt;
  }
  if (known) {
    env_.note(introduction);
  } else {
    int64_t seats = 0;
    switch (desk_->take(claim, fp, link.address, seats)) {
      case ApprovalDesk::Seat::taken:
        break;
      case ApprovalDesk::Seat::alreadyWaiting:
        env_.note("pairing: " + fp + " already waits for the owner — refused" + tag);
        return std::nullopt;
      case ApprovalDesk::Seat::addressWaiting:
        env_.note("pairing: a device from " + Socket::ipv4Text(link.address) +
                  " already waits for the owner — refused " + fp + tag);
        return std::nullopt;
      case ApprovalDesk::Seat::full:
        env_.note("pairing: " + std::to_string(seats) + " device(s) already wait for the owner — refused " + fp +
                  tag);
        return std::nullopt;
    }
    seated = true;
    link.waitsForOwner(true);
    env_.say(introduction);
  }
  // A key that is paired already needs no human step: it confirms at once.
  // The step is timed from before HostKeyx leaves, so no reply can precede it.
  reader.startStep(known ? pairing.stageTimeoutNs : pairing.confirmTimeoutNs);
  const auto hostKeyx = attempt([&] { return handshake.hostKeyx(); });
  if (!hostKeyx || !Socket::sendAll(fd, *hostKeyx)) return std::nullopt;
  link.progressed();
  // The owner is asked as HostKeyx goes out, so both screens show the code
  // while the user compares.
  uint64_t answerBy = 0;
  if (!known) {
    answerBy =
        env_.nowNs() + static_cast<uint64_t>(std::max<int64_t>(pairing.approvalTimeoutSeconds, 0)) * kNsPerSecond;
    std::string error;
    if (!desk_->ask(claim, pairing.approve, info.sas, info.name, env_.startThread, error)) {
      env_.say("pairing: could not ask the owner (" + error + ") — refused " + fp);
      return std::nullopt;
    }
    // An owner's refusal ends the ceremony without waiting for the client.
    reader.abandonWhen = [box = claim.box] {
      if (!box->sem.isSignaled()) return false;
      std::lock_guard lock(box->lock);
      return !box->decision;
    };
  }
  const auto confirmPayload = reader.readPrologueMessage(P::typeClientConfirm);
  reader.abandonWhen = nullptr;
  if (!confirmPayload) {
    if (reader.abandoned) {
      claim.box.reset();
      env_.say("pairing: not approved " + fp + tag);
      return std::nullopt;
    }
    return readFailed();
  }
  const auto confirm = attempt([&] { return handshake.processClientConfirm(*confirmPayload); });
  if (!confirm) return std::nullopt;
  if (!confirm->ok || !confirm->signatureValid) {
    line(std::string("pairing: client ") + (confirm->ok ? "sent a bad signature" : "declined") + tag);
    return std::nullopt;
  }
  link.progressed();
  // The root key before the owner's answer is taken or anything is written:
  // the store never records a device whose link could not be keyed.
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
  std::string pinned = "pairing: pinned " + fp;
  if (!info.name.empty()) pinned += " (" + info.name + ")";
  for (size_t i = 0; i < replaced->size(); ++i) pinned += (i ? ", " : " — replaced ") + (*replaced)[i];
  env_.say(pinned);
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

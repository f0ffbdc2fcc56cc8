#include "wire/PairingPrologue.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

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

// Whether a read would find something now (with the socket's low-water mark).
bool readable(int fd) {
  pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  return ::poll(&p, 1, 0) != 0;
}

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
PairingPrologue::Sniff PairingPrologue::sniff(int fd, uint64_t arrivedNs, const NowNs& clock,
                                              const std::function<void()>& caughtUp) {
  constexpr size_t kMagicLen = P::magic.size();
  const uint64_t deadline = arrivedNs + kSniffWindowNs;
  size_t seen = 0;  // bytes of a partial magic already waiting
  bool lowatTried = false;
  bool lowatRaised = false;
  bool waited = false;
  Sniff result;
  for (;;) {
    const uint64_t now = clock();
    const bool over = now >= deadline;
    pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
    const int timeoutMs = over ? 0 : static_cast<int>((deadline - now + kNsPerMs - 1) / kNsPerMs);
    if (timeoutMs > 0 && !waited && !readable(fd)) {
      waited = true;
      if (caughtUp) caughtUp();
    }
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
  // Runs once, when a read first has to wait: all that had come has been read.
  std::function<void()> caughtUp;

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
      if (caughtUp && !readable(fd_)) std::exchange(caughtUp, nullptr)();
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

// One run of the prologue, carried from step to step.
struct PairingPrologue::Ceremony {
  Ceremony(int fd_, const NowNs& now) : fd(fd_), tag(" " + fdTag(fd_)), reader(fd_, now) {}

  // The owner has seen its question: what follows is the owner's business.
  bool shown() const {
    if (!claim.box) return wasShown;
    std::lock_guard lock(claim.box->lock);
    return claim.box->shown;
  }
  bool displaced() const {
    if (!claim.box) return false;
    std::lock_guard lock(claim.box->lock);
    return claim.box->displaced;
  }

  const int fd;
  const std::string tag;
  Reader reader;
  ApprovalDesk::Claim claim;
  bool wasShown = false;  // kept once the claim is given back
  // "pairing: known/new device …": told always once the device proved its
  // key or its question went up, else within the budget for strangers' lines.
  std::string introduction;
  bool introduced = false;
  // What its ClientKeyx says of the device.
  HostHandshake::ClientInfo device;
};

PairingPrologue::PairingPrologue(Pairing pairing, Env env)
    : pairing_(std::move(pairing)),
      env_(std::move(env)),
      desk_(ApprovalDesk::create(pairing_.desk, env_.nowNs, env_.unshown)) {}

int64_t PairingPrologue::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

// A question that went up had its introduction told by the desk.
void PairingPrologue::introduce(Ceremony& c) const {
  if (!c.introduced && !c.introduction.empty() && !c.shown()) env_.note(c.introduction);
  c.introduced = true;
}

void PairingPrologue::line(Ceremony& c, const std::string& text) const {
  introduce(c);
  (c.shown() ? env_.say : env_.note)(text);
}

template <typename Step>
auto PairingPrologue::attempt(Ceremony& c, Step&& step) const -> std::optional<decltype(step())> {
  // A thrown error is the prologue's error: logged, and the connection is dropped.
  try {
    return step();
  } catch (const std::exception& e) {
    line(c, "pairing prologue error: " + std::string(e.what()) + c.tag);
    return std::nullopt;
  }
}

std::optional<PairingPrologue::Result> PairingPrologue::run(int fd, const Link& link) {
  {
    std::lock_guard lock(mutex_);
    ++running_;
  }
  Ceremony c(fd, env_.nowNs);
  std::optional<Result> result = exchange(c, link);
  const std::string fingerprint = c.claim.fingerprint;
  const auto box = c.claim.box;
  // A stopping server takes its sheet down at once.
  if (desk_->withdraw(c.claim, pairing_.cancelApprove, !env_.serving())) {
    env_.say("pairing: ceremony ended before the owner answered — dismissing the sheet for " + fingerprint +
             c.tag);
  }
  if (box) {
    std::lock_guard lock(box->lock);
    c.wasShown = box->shown;  // it may have gone up until the claim was given back
  }
  introduce(c);
  link.waitsForOwner(false);
  std::lock_guard lock(mutex_);
  --running_;
  return result;
}

bool PairingPrologue::readKeys(Ceremony& c, const Link& link, HostHandshake& handshake) {
  // The magic and the key exchange are one step, due from arrival.
  uint8_t magic[P::magic.size()];
  c.reader.caughtUp = link.caughtUp;
  c.reader.startStep(pairing_.stageTimeoutNs, link.arrivedNs);
  if (!c.reader.read(magic, sizeof magic)) {
    readFailed(c);
    return false;
  }
  if (!std::equal(magic, magic + sizeof magic, P::magic.begin())) return false;
  link.progressed();
  const auto keyx = c.reader.readPrologueMessage(P::typeClientKeyx);
  if (!keyx) {
    readFailed(c);
    return false;
  }
  auto info = attempt(c, [&] { return handshake.processClientKeyx(*keyx); });
  if (!info) return false;
  c.device = std::move(*info);
  link.progressed();
  return true;
}

std::nullopt_t PairingPrologue::readFailed(Ceremony& c) const {
  // Only the deadline is worth a line: a peer that left or sent a wrong
  // frame is dropped quietly.
  if (c.reader.timedOut) {
    line(c, "pairing: handshake step not finished within " + std::to_string(c.reader.limitNs_ / kNsPerSecond) +
                " s" + c.tag);
  }
  return std::nullopt;
}

bool PairingPrologue::seat(Ceremony& c, const Link& link) {
  const std::string& fp = c.device.fingerprint;
  int64_t seats = 0;
  // Held while it waits for the owner (from before the seat, so a newer
  // question taking the seat lets go after): never aged out meanwhile.
  link.waitsForOwner(true);
  const auto seat = desk_->take(c.claim, fp, link.address, seats, [&link] { link.waitsForOwner(false); });
  if (seat != ApprovalDesk::Seat::taken) link.waitsForOwner(false);
  switch (seat) {
    case ApprovalDesk::Seat::taken:
      return true;
    case ApprovalDesk::Seat::alreadyWaiting:
      env_.note("pairing: " + fp + " already waits for the owner — refused" + c.tag);
      return false;
    case ApprovalDesk::Seat::addressWaiting:
      env_.note("pairing: a device from " + Socket::ipv4Text(link.address) +
                " already waits for the owner — refused " + fp + c.tag);
      return false;
    case ApprovalDesk::Seat::full:
      env_.note("pairing: " + std::to_string(seats) + " device(s) already wait for the owner — refused " + fp +
                c.tag);
      return false;
    case ApprovalDesk::Seat::tooOften:
      env_.note("pairing: devices from " + Socket::ipv4Text(link.address) +
                " asked the owner too often — refused " + fp + c.tag);
      return false;
  }
  return false;
}

std::optional<PairingPrologue::Result> PairingPrologue::exchange(Ceremony& c, const Link& link) {
  const Pairing& pairing = pairing_;
  if (!pairing.peers) {
    env_.say("pairing prologue error: no paired-device store" + c.tag);
    return std::nullopt;
  }
  HostHandshake handshake(pairing.identity, X25519PrivateKey::generate());
  if (!readKeys(c, link, handshake)) return std::nullopt;
  const HostHandshake::ClientInfo& info = c.device;
  const std::string& fp = info.fingerprint;
  // The identity key crosses the network in clear: naming a paired one
  // proves nothing until ClientConfirm is signed with it.
  const bool known = pairing.peers->lookup(info.identityPublicKey).has_value();
  const std::string introduction =
      "pairing: " + std::string(known ? "known" : "new") + " device " + fp + ", SAS " + info.sas + c.tag;

  if (!known && !info.canShowSas) {
    env_.note(introduction);
    Socket::sendAll(c.fd, HostHandshake::hostReject(P::rejectUnknownDevice));
    env_.note("pairing: refused " + fp +
              " — unknown device on a silent reconnect (needs re-pairing); no sheet raised" + c.tag);
    return std::nullopt;
  }
  if (!known && !seat(c, link)) return std::nullopt;
  c.introduction = introduction;
  // A key that is paired already needs no human step: it confirms at once.
  // The step is timed from before HostKeyx leaves, so no reply can precede it.
  c.reader.startStep(known ? pairing.stageTimeoutNs : pairing.confirmTimeoutNs);
  const auto hostKeyx = attempt(c, [&] { return handshake.hostKeyx(); });
  if (!hostKeyx || !Socket::sendAll(c.fd, *hostKeyx)) return std::nullopt;
  link.progressed();
  // The owner is asked as HostKeyx goes out, so both screens show the code
  // while the user compares; the desk puts it up once the device has stayed.
  uint64_t answerBy = 0;
  if (!known) {
    answerBy =
        env_.nowNs() + static_cast<uint64_t>(std::max<int64_t>(pairing.approvalTimeoutSeconds, 0)) * kNsPerSecond;
    std::string error;
    // The desk tells it as the question goes up (the ceremony is still running then).
    auto shown = [this, text = c.introduction] { env_.say(text); };
    if (!desk_->ask(c.claim, pairing.approve, info.sas, info.name, shown, env_.startThread, error)) {
      if (c.displaced()) return gaveWay(c, fp);
      env_.say("pairing: could not ask the owner (" + error + ") — refused " + fp);
      return std::nullopt;
    }
    // An owner's refusal, or a newer question taking the seat, ends the
    // ceremony without waiting for the client.
    c.reader.abandonWhen = [box = c.claim.box] {
      if (!box->sem.isSignaled()) return false;
      std::lock_guard lock(box->lock);
      return !box->decision;
    };
  }
  const auto confirmPayload = c.reader.readPrologueMessage(P::typeClientConfirm);
  c.reader.abandonWhen = nullptr;
  if (!confirmPayload) {
    if (!c.reader.abandoned) return readFailed(c);
    if (c.displaced()) return gaveWay(c, fp);
    env_.say("pairing: not approved " + fp + c.tag);
    return std::nullopt;
  }
  const auto confirm = attempt(c, [&] { return handshake.processClientConfirm(*confirmPayload); });
  if (!confirm) return std::nullopt;
  if (!confirm->ok || !confirm->signatureValid) {
    line(c, std::string("pairing: client ") + (confirm->ok ? "sent a bad signature" : "declined") + c.tag);
    return std::nullopt;
  }
  link.progressed();
  // The root key before the owner's answer is taken or anything is written:
  // the store never records a device whose link could not be keyed.
  auto root = attempt(c, [&] { return handshake.rootKey(); });
  if (!root) return std::nullopt;
  if (known) return welcomeBack(c, std::move(*root));
  return pinNew(c, std::move(*root), answerBy);
}

std::optional<PairingPrologue::Result> PairingPrologue::welcomeBack(Ceremony& c, SymmetricKey root) {
  const HostHandshake::ClientInfo& info = c.device;
  // It signed with the paired key: a pairing event, always told.
  env_.say(c.introduction);
  c.introduced = true;
  try {
    const auto label = info.name.empty() ? std::nullopt : std::optional<std::string>(info.name);
    pairing_.peers->touch(info.identityPublicKey, label, info.deviceId, info.deviceKind, secondsSince1970());
  } catch (const std::exception& e) {
    // The device is paired already; only its last-seen time is lost.
    env_.say("pairing: record of " + info.fingerprint + " not refreshed (" + e.what() + ")" + c.tag);
  }
  return Result{std::move(root), info.fingerprint};
}

std::optional<PairingPrologue::Result> PairingPrologue::pinNew(Ceremony& c, SymmetricKey root, uint64_t answerBy) {
  const HostHandshake::ClientInfo& info = c.device;
  const std::string& fp = info.fingerprint;
  switch (awaitApproval(c.fd, *c.claim.box, answerBy)) {
    case Answer::none:
      line(c, "pairing: no answer for " + fp + " — the device left or the prompt timed out" + c.tag);
      return std::nullopt;
    case Answer::displaced:
      return gaveWay(c, fp);
    case Answer::refused:
      env_.say("pairing: not approved " + fp + c.tag);
      return std::nullopt;
    case Answer::approved:
      break;
  }
  // Not pinned means not paired: the next start would not know the device.
  const auto replaced = attempt(c, [&] {
    return pairing_.peers->pin(info.identityPublicKey, info.name.empty() ? fp : info.name, info.deviceId,
                               info.deviceKind, secondsSince1970());
  });
  if (!replaced) return std::nullopt;
  std::string pinned = "pairing: pinned " + fp;
  if (!info.name.empty()) pinned += " (" + info.name + ")";
  for (size_t i = 0; i < replaced->size(); ++i) pinned += (i ? ", " : " — replaced ") + (*replaced)[i];
  env_.say(pinned);
  return Result{std::move(root), fp};
}

std::nullopt_t PairingPrologue::gaveWay(Ceremony& c, const std::string& fingerprint) const {
  line(c, "pairing: " + fingerprint + " gave its seat at the owner's desk to a newer device" + c.tag);
  return std::nullopt;
}

PairingPrologue::Answer PairingPrologue::awaitApproval(int fd, ApprovalDesk::Box& box, uint64_t deadline) {
  for (;;) {
    const uint64_t now = env_.nowNs();
    if (box.sem.waitFor(std::min(kApprovalPollNs, deadline > now ? deadline - now : 0))) {
      std::lock_guard lock(box.lock);
      if (box.displaced) return Answer::displaced;
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

// The pairing prologue that a pairing connection runs before its session, on
// the session's connection thread: recognising the magic, the framed
// prologue messages, the owner's approval and the paired greeting.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
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

// Reads the prologue against one deadline for the whole exchange, so a peer
// that trickles its bytes cannot hold the connection thread past it. Waits in
// slices, so a deadline on the injected clock is noticed without new bytes.
class WireServer::PrologueReader {
 public:
  PrologueReader(int fd, uint64_t deadlineNs, const NowNs& now) : fd_(fd), deadlineNs_(deadlineNs), now_(now) {}

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

 private:
  static constexpr uint64_t kPrologueSliceNs = 250 * kNsPerMs;
  int fd_;
  uint64_t deadlineNs_;
  const NowNs& now_;
};

// What a prologue holds that must be given back on every way out.
struct WireServer::PrologueState {
  std::string fingerprint;            // of a new device once it has sent its key
  bool promptHeld = false;            // its fingerprint is in pendingPrompts_
  bool seatHeld = false;              // a seat at the approval desk, not yet handed in
  std::shared_ptr<ApprovalBox> box;   // set while the owner's answer has not been taken
};

// Questions to the owner, one at a time, on one thread that exists only
// while there are questions. A seat is taken before HostKeyx goes out, so a
// device beyond the bound is refused at once; it is given back when its
// question is withdrawn unasked or when the owner's answer comes. The thread
// holds only the desk, so it may outlive the server while a question is up.
struct WireServer::ApprovalDesk {
  struct Request {
    Pairing::Approve approve;
    std::string sas, fingerprint, name;
    std::shared_ptr<ApprovalBox> box;
  };
  std::mutex mutex;
  std::deque<std::shared_ptr<Request>> queue;  // handed in, not yet asked
  int64_t seats = 0;  // seats taken: waiting, queued and the question that is up
  bool asking = false;  // the thread exists

  static void serve(const std::shared_ptr<ApprovalDesk>& desk) {
    for (;;) {
      std::shared_ptr<Request> r;
      {
        std::lock_guard lock(desk->mutex);
        if (desk->queue.empty()) {
          desk->asking = false;
          return;
        }
        r = std::move(desk->queue.front());
        desk->queue.pop_front();
        std::lock_guard boxLock(r->box->lock);
        r->box->asking = true;
      }
      bool allowed = false;
      try {
        allowed = r->approve && r->approve(r->sas, r->fingerprint, r->name);
      } catch (...) {
        allowed = false;  // an approver that fails refuses
      }
      {
        std::lock_guard lock(r->box->lock);
        r->box->decision = allowed;
        r->box->answered = true;
      }
      r->box->sem.signal();
      std::lock_guard lock(desk->mutex);
      --desk->seats;
    }
  }
};

std::shared_ptr<WireServer::ApprovalDesk> WireServer::newApprovalDesk() { return std::make_shared<ApprovalDesk>(); }

int64_t WireServer::approvalSeats() const {
  std::lock_guard lock(approvalDesk_->mutex);
  return approvalDesk_->seats;
}

bool WireServer::enterPrologue(const std::string& tag) {
  int64_t running;
  {
    std::lock_guard lock(pairingMutex_);
    running = prologues_;
    if (running < maxPrologues) {
      ++prologues_;
      return true;
    }
  }
  event("pairing: " + std::to_string(running) + " pairing handshake(s) already running — refused" + tag);
  return false;
}

void WireServer::leavePrologue() {
  std::lock_guard lock(pairingMutex_);
  --prologues_;
}

bool WireServer::holdPrompt(const std::string& fingerprint, const std::string& tag) {
  int64_t seats = -1;
  {
    std::lock_guard lock(pairingMutex_);
    if (!pendingPrompts_.count(fingerprint)) {
      std::lock_guard deskLock(approvalDesk_->mutex);
      seats = approvalDesk_->seats;
      if (seats < 1 + maxWaitingApprovals) {
        ++approvalDesk_->seats;
        pendingPrompts_.insert(fingerprint);
        return true;
      }
    }
  }
  if (seats < 0) {
    event("pairing: " + fingerprint + " already waits for the owner — refused" + tag);
  } else {
    event("pairing: " + std::to_string(seats) + " device(s) already wait for the owner — refused " + fingerprint +
          tag);
  }
  return false;
}

void WireServer::releasePrompt(const std::string& fingerprint) {
  std::lock_guard lock(pairingMutex_);
  pendingPrompts_.erase(fingerprint);
}

std::optional<WireServer::PrologueResult> WireServer::runPairingPrologue(int fd, const Pairing& pairing) {
  const std::string tag = " " + fdTag(fd);
  if (!enterPrologue(tag)) return std::nullopt;
  PrologueState state;
  std::optional<PrologueResult> result = pairingExchange(fd, pairing, state);
  withdrawApproval(state, pairing);
  if (state.box) {
    event("pairing: ceremony ended before the owner answered — dismissing the sheet for " + state.fingerprint + tag);
  }
  if (state.promptHeld) releasePrompt(state.fingerprint);
  leavePrologue();
  return result;
}

void WireServer::withdrawApproval(PrologueState& state, const Pairing& pairing) {
  bool unasked = false;
  {
    std::lock_guard lock(approvalDesk_->mutex);
    if (state.seatHeld) {
      --approvalDesk_->seats;  // never handed in
      state.seatHeld = false;
    } else if (state.box) {
      auto& queue = approvalDesk_->queue;
      const auto it = std::find_if(queue.begin(), queue.end(), [&](const auto& r) { return r->box == state.box; });
      if (it != queue.end()) {
        queue.erase(it);
        --approvalDesk_->seats;
        unasked = true;
      }
    }
  }
  if (!state.box || unasked) return;
  // Under the box's lock, so the answer cannot land in between: a question
  // that is up is dismissed.
  std::lock_guard lock(state.box->lock);
  state.box->abandoned = true;
  if (state.box->asking && !state.box->answered && pairing.cancelApprove) pairing.cancelApprove(state.fingerprint);
}

std::optional<WireServer::PrologueResult> WireServer::pairingExchange(int fd, const Pairing& pairing,
                                                                      PrologueState& state) {
  const std::string tag = " " + fdTag(fd);
  PrologueReader reader(fd, nowNs() + prologueTimeoutNs, nowNs);
  // A read that failed: only the deadline is worth a line (a peer that left
  // or sent a wrong frame is dropped quietly).
  auto readFailed = [&]() -> std::optional<PrologueResult> {
    if (reader.timedOut) {
      event("pairing: handshake not finished within " + std::to_string(prologueTimeoutNs / kNsPerSecond) + " s" +
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
      event("pairing prologue error: " + std::string(e.what()) + tag);
      return std::nullopt;
    }
  };

  if (!pairing.peers) {
    event("pairing prologue error: no paired-device store" + tag);
    return std::nullopt;
  }
  uint8_t magic[P::magic.size()];
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
  event("pairing: " + std::string(known ? "known" : "new") + " device " + fp + ", SAS " + info.sas + tag);

  if (!known && !info.canShowSas) {
    Socket::sendAll(fd, HostHandshake::hostReject(P::rejectUnknownDevice));
    event("pairing: refused " + fp + " — unknown device on a silent reconnect (needs re-pairing); no sheet raised" +
          tag);
    return std::nullopt;
  }
  // A seat for the owner's question before anything is promised: a device
  // that finds none is refused now, not after a handshake left waiting.
  if (!known) {
    if (!holdPrompt(fp, tag)) {
      Socket::sendAll(fd, HostHandshake::hostReject(P::rejectUnknownDevice));
      return std::nullopt;
    }
    state.fingerprint = fp;
    state.promptHeld = true;
    state.seatHeld = true;
  }
  const auto hostKeyx = attempt([&] { return handshake.hostKeyx(); });
  if (!hostKeyx || !Socket::sendAll(fd, *hostKeyx)) return std::nullopt;

  const auto confirmPayload = reader.readPrologueMessage(P::typeClientConfirm);
  if (!confirmPayload) return readFailed();
  const auto confirm = attempt([&] { return handshake.processClientConfirm(*confirmPayload); });
  if (!confirm) return std::nullopt;
  if (!confirm->ok || !confirm->signatureValid) {
    event(std::string("pairing: client ") + (confirm->ok ? "sent a bad signature" : "declined") + tag);
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
      event("pairing: record of " + fp + " not refreshed (" + e.what() + ")" + tag);
    }
    return PrologueResult{std::move(*root), fp};
  }

  // A new device has proven its identity key: only now is the owner asked,
  // so a peer that cannot sign raises no prompt.
  state.box = std::make_shared<ApprovalBox>();
  const uint64_t answerBy =
      nowNs() + static_cast<uint64_t>(std::max<int64_t>(pairing.approvalTimeoutSeconds, 0)) * kNsPerSecond;
  if (!askOwner(pairing, info.sas, fp, info.name, state)) {
    state.box.reset();
    return std::nullopt;
  }
  switch (awaitApproval(fd, *state.box, answerBy)) {
    case Answer::none:
      event("pairing: no answer for " + fp + " — the device left or the prompt timed out" + tag);
      return std::nullopt;
    case Answer::refused:
      state.box.reset();
      event("pairing: not approved " + fp + tag);
      return std::nullopt;
    case Answer::approved:
      state.box.reset();
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
  return PrologueResult{std::move(*root), fp};
}

bool WireServer::askOwner(const Pairing& pairing, const std::string& sas, const std::string& fingerprint,
                          const std::string& name, PrologueState& state) {
  auto request = std::make_shared<ApprovalDesk::Request>();
  request->approve = pairing.approve;
  request->sas = sas;
  request->fingerprint = fingerprint;
  request->name = name;
  request->box = state.box;
  std::lock_guard lock(approvalDesk_->mutex);
  approvalDesk_->queue.push_back(std::move(request));
  state.seatHeld = false;  // handed in: the queue or the asking thread gives it back
  if (approvalDesk_->asking) return true;
  try {
    std::shared_ptr<ApprovalDesk> desk = approvalDesk_;
    NamedThread asker = startThread("lumenrail-pair-approve", [desk] { ApprovalDesk::serve(desk); });
    asker.detach();  // it ends once the queue is empty
    approvalDesk_->asking = true;
    return true;
  } catch (const std::exception& e) {
    approvalDesk_->queue.pop_back();
    --approvalDesk_->seats;
    event("pairing: could not ask the owner (" + std::string(e.what()) + ") — refused " + fingerprint);
    return false;
  }
}

WireServer::Answer WireServer::awaitApproval(int fd, ApprovalBox& box, uint64_t deadline) {
  for (;;) {
    const uint64_t now = nowNs();
    if (box.sem.waitFor(std::min(kApprovalPollNs, deadline > now ? deadline - now : 0))) {
      std::lock_guard lock(box.lock);
      return box.decision ? Answer::approved : Answer::refused;
    }
    if (nowNs() >= deadline) return Answer::none;
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

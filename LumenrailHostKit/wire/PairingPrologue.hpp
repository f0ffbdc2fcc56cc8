#pragma once

// The pairing prologue that a network connection opening with the pairing
// magic runs on its connection thread before it gets a session: recognising
// the magic, the framed key exchange, the owner's approval of a new device at
// the approval desk, and pinning or refreshing the device in the store.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "platform/Ed25519.hpp"
#include "platform/SymmetricKey.hpp"
#include "wire/ApprovalDesk.hpp"

namespace lumenrail {

class HostHandshake;
class PairedDevicesStore;

class PairingPrologue final {
 public:
  struct Pairing {
    // The approver runs on the desk's thread, which holds nothing of the
    // server; it gets the device name cleaned of control and format characters.
    using Approve = ApprovalDesk::Approve;
    using CancelApprove = ApprovalDesk::CancelApprove;

    Pairing(Ed25519PrivateKey identity, std::shared_ptr<PairedDevicesStore> peers, Approve approve,
            CancelApprove cancelApprove = {});

    Ed25519PrivateKey identity;
    std::shared_ptr<PairedDevicesStore> peers;
    Approve approve;
    CancelApprove cancelApprove;  // empty: none
    int64_t approvalTimeoutSeconds = 120;
    // Each step before the client has proven its key has its own deadline:
    // the magic and ClientKeyx arrive within stageTimeoutNs of arrival, and
    // ClientConfirm within stageTimeoutNs of HostKeyx for a key that is
    // paired already (no one compares a code), within confirmTimeoutNs for a
    // new device whose user compares the code. The owner is asked about a new
    // device when HostKeyx goes out, one question at a time, and at most
    // desk.maxWaiting more wait behind it, one per fingerprint and per peer
    // address; a new device that finds no seat is dropped at ClientKeyx.
    uint64_t stageTimeoutNs = 5 * kNsPerSecond;
    uint64_t confirmTimeoutNs = 60 * kNsPerSecond;
    ApprovalDesk::Rules desk;
  };

  // What the first bytes of a new connection are.
  enum class Sniff { prelude, otherBytes, closed, nothing };

  // The root key of the link and the client's fingerprint.
  struct Result {
    SymmetricKey root;
    std::string fingerprint;
  };

  // What the prologue takes from the server that runs it.
  struct Env {
    NowNs nowNs = uptimeNs;
    // Lines of the owner's questions and answers, always logged.
    std::function<void(const std::string&)> say = [](const std::string&) {};
    // Lines any stranger can cause, within the server's budget for them.
    std::function<void(const std::string&)> note = [](const std::string&) {};
    ApprovalDesk::StartThread startThread = [](std::string name, std::function<void()> body) {
      return NamedThread(std::move(name), std::move(body));
    };
    std::function<bool()> serving = [] { return true; };  // false once the server stops: waits end
    // A question went without being put to the owner (the desk counts them).
    std::function<void()> unshown;
  };

  PairingPrologue(Pairing pairing, Env env);
  PairingPrologue(const PairingPrologue&) = delete;
  PairingPrologue& operator=(const PairingPrologue&) = delete;

  static constexpr uint64_t kSniffWindowNs = 250 * kNsPerMs;
  // Peeks at the first bytes, due within kSniffWindowNs of arrival on `clock`,
  // consuming nothing; `caughtUp` runs if it has to wait for them.
  static Sniff sniff(int fd, uint64_t arrivedNs, const NowNs& clock, const std::function<void()>& caughtUp = {});
  // The connection as its server counts it among the links still to prove themselves.
  struct Link {
    uint32_t address = 0;  // IPv4, host order
    uint64_t arrivedNs = 0;
    std::function<void()> progressed = [] {};       // a step of the proof is done
    std::function<void(bool)> waitsForOwner = [](bool) {};  // held while its question is open
    std::function<void()> caughtUp = [] {};  // all it sent so far has been read: it may give way
  };

  // The whole exchange on `fd`; nothing when the link must be dropped.
  std::optional<Result> run(int fd, const Link& link);

  int64_t running() const;
  const ApprovalDesk& desk() const { return *desk_; }
  // Questions never put to the owner since the last call.
  int64_t takeUnshown() { return desk_->takeUnshown(); }

 private:
  class Reader;
  struct Ceremony;
  enum class Answer { approved, refused, displaced, none };

  std::optional<Result> exchange(Ceremony& c, const Link& link);
  // The magic and ClientKeyx, processed into the ceremony's device; false: dropped.
  bool readKeys(Ceremony& c, const Link& link, HostHandshake& handshake);
  // A seat at the owner's desk for the new device; false (with its line): refused.
  bool seat(Ceremony& c, const Link& link);
  // After a valid ClientConfirm: a paired device is refreshed, a new one waits for the owner.
  std::optional<Result> welcomeBack(Ceremony& c, SymmetricKey root);
  std::optional<Result> pinNew(Ceremony& c, SymmetricKey root, uint64_t answerBy);
  // Waits for the owner's answer while checking that the client is still there.
  Answer awaitApproval(int fd, ApprovalDesk::Box& box, uint64_t deadlineNs);

  // Lines about a ceremony: the owner's business once its question went up,
  // else within the budget for strangers' lines; the introduction comes first.
  void line(Ceremony& c, const std::string& text) const;
  void introduce(Ceremony& c) const;
  std::nullopt_t readFailed(Ceremony& c) const;
  std::nullopt_t gaveWay(Ceremony& c, const std::string& fingerprint) const;
  // One step of the handshake or the store.
  template <typename Step>
  auto attempt(Ceremony& c, Step&& step) const -> std::optional<decltype(step())>;

  const Pairing pairing_;
  const Env env_;
  mutable std::mutex mutex_;
  int64_t running_ = 0;
  std::shared_ptr<ApprovalDesk> desk_;
};

}  // namespace lumenrail

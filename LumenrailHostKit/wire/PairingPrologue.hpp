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
    // The exchange from the magic to ClientConfirm finishes within
    // prologueTimeoutNs (then the owner has approvalTimeoutSeconds); at most
    // maxPrologues run at once. The owner is asked about one new device at a
    // time, and at most maxWaitingApprovals more (one per fingerprint) wait
    // behind that question; a new device beyond them gets HostReject at once.
    uint64_t prologueTimeoutNs = 120 * kNsPerSecond;
    int64_t maxPrologues = 8;
    int64_t maxWaitingApprovals = 4;
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
    std::function<void(const std::string&)> say = [](const std::string&) {};
    ApprovalDesk::StartThread startThread = [](std::string name, std::function<void()> body) {
      return NamedThread(std::move(name), std::move(body));
    };
    std::function<bool()> serving = [] { return true; };  // false once the server stops: waits end
  };

  PairingPrologue(Pairing pairing, Env env);
  PairingPrologue(const PairingPrologue&) = delete;
  PairingPrologue& operator=(const PairingPrologue&) = delete;

  // Peeks at the first bytes within 250 ms, consuming nothing.
  static Sniff sniff(int fd);
  // The whole exchange on `fd`; nothing when the link must be dropped.
  std::optional<Result> run(int fd);

  int64_t running() const;
  const ApprovalDesk& desk() const { return *desk_; }

 private:
  class Reader;
  enum class Answer { approved, refused, none };

  bool enter(const std::string& tag);
  void leave();
  std::optional<Result> exchange(int fd, ApprovalDesk::Claim& claim);
  // Waits for the owner's answer while checking that the client is still there.
  Answer awaitApproval(int fd, ApprovalDesk::Box& box, uint64_t deadlineNs);

  const Pairing pairing_;
  const Env env_;
  mutable std::mutex mutex_;
  int64_t running_ = 0;
  std::shared_ptr<ApprovalDesk> desk_;
};

}  // namespace lumenrail

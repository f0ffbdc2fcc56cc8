#pragma once

// The owner's desk for new devices that want to pair: one question at a time,
// asked on one thread that exists only while there are questions, and a
// bounded waiting room behind it with one seat per fingerprint and one per
// peer address, so strangers from a few addresses hold a few seats at most and
// the owner is never asked twice about one address at a time. A seat is
// taken before the host commits to the handshake, so a device beyond the bound
// is refused at once; it is given back when its question is withdrawn unasked
// or when the owner answers. The thread holds only the desk and the question,
// so it may outlive the server while a question is up.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"

namespace lumenrail {

class ApprovalDesk final {
 public:
  // Six-digit code, fingerprint, device name; blocks until the owner answers,
  // true = allow.
  using Approve = std::function<bool(const std::string& sas, const std::string& fingerprint,
                                     const std::string& name)>;
  // Dismisses the prompt that is up for this fingerprint.
  using CancelApprove = std::function<void(const std::string& fingerprint)>;
  using StartThread = std::function<NamedThread(std::string name, std::function<void()> body)>;

  // The hand-off of the owner's answer from the asking thread to the waiting
  // prologue: a late answer lands here whatever became of the prologue.
  struct Box {
    OneShotEvent sem;  // signalled once the answer is in
    std::mutex lock;   // guards the flags below
    bool decision = false;
    bool asking = false;     // the approver has been (or is being) called
    bool answered = false;   // the approver has returned
    bool abandoned = false;  // the prologue no longer waits: a queued prompt is never shown
  };

  // What one prologue holds at the desk, given back by withdraw() on every way out.
  struct Claim {
    std::string fingerprint;
    uint32_t address = 0;
    bool waiting = false;      // its fingerprint and address are in the waiting room
    bool seatHeld = false;     // a seat not yet handed in with a question
    std::shared_ptr<Box> box;  // set while the owner's answer has not been taken
  };

  enum class Seat { taken, alreadyWaiting, addressWaiting, full };

  // At most one question up and `maxWaiting` more behind it.
  static std::shared_ptr<ApprovalDesk> create(int64_t maxWaiting);

  // A seat for the question of this fingerprint from `address` (IPv4, host
  // order); `seats` gets the seats taken when full.
  Seat take(Claim& claim, const std::string& fingerprint, uint32_t address, int64_t& seats);
  // Hands the seated question in. False, with the reason in `error`, when no
  // thread could be started to ask it (the seat is given back).
  bool ask(Claim& claim, Approve approve, const std::string& sas, const std::string& name,
           const StartThread& startThread, std::string& error);
  // Gives back what the claim holds; a question that is up is dismissed
  // through `cancel`. True when a question was still open.
  bool withdraw(Claim& claim, const CancelApprove& cancel);
  // Seats taken: waiting, queued and the question that is up.
  int64_t seats() const;

 private:
  struct Request {
    Approve approve;
    std::string sas, fingerprint, name;
    std::shared_ptr<Box> box;
  };
  explicit ApprovalDesk(int64_t maxWaiting);
  static void serve(const std::shared_ptr<ApprovalDesk>& desk);

  const int64_t maxWaiting_;
  mutable std::mutex mutex_;
  std::deque<std::shared_ptr<Request>> queue_;  // handed in, not yet asked
  std::set<std::string> waiting_;              // fingerprints with a claim
  std::set<uint32_t> addresses_;               // addresses with a claim
  int64_t seats_ = 0;
  bool asking_ = false;  // the thread exists
  std::weak_ptr<ApprovalDesk> self_;
};

}  // namespace lumenrail

#pragma once

// The owner's desk for new devices that want to pair: one question up at a
// time, asked on one thread that exists only while there are questions, and
// a bounded waiting room behind it with one seat per fingerprint and one per
// peer address, so the owner is never asked twice about one address at a time.
//
// Strangers may raise questions faster than anyone can answer them; the desk
// keeps the screen for the device in front of the owner:
// - a question goes up only once its device has stayed a moment after its
//   code went out, so a device that hangs up at once never reaches the screen;
// - the sheet changes at most once per interval: a question goes up that long
//   after the last one went, and one that is up stays that long before its
//   device's leaving takes it down (an answer takes it down at once);
// - each address has a budget of questions; every question it raises costs
//   one, whether shown, withdrawn or pushed out, and one the owner allows
//   gives the budget back. An address without budget left is refused;
// - a full room gives the newcomer the seat of the waiting question whose
//   address has the least budget left, the oldest of those, unless the
//   newcomer's address has less; the next question up is the one whose address
//   has the most left, the newest of those, as the owner waits for the device
//   just dialled.
// What was never put to the owner is counted, for a line now and then.
//
// A seat is taken before the host commits to the handshake, so a device
// refused is dropped at once. The thread holds only the desk and the
// question, so it may outlive the server while a question is up.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Clock.hpp"
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

  struct Rules {
    int64_t maxWaiting = 4;
    uint64_t stayNs = kNsPerSecond;
    uint64_t sheetIntervalNs = kNsPerSecond;
    int64_t questionBurst = 3;
    uint64_t questionRefillNs = 20 * kNsPerSecond;  // one more question an address may raise
  };

  // The hand-off of the owner's answer from the asking thread to the waiting
  // prologue: a late answer lands here whatever became of the prologue.
  struct Box {
    OneShotEvent sem;  // signalled once the answer is in, or once no answer will come
    std::mutex lock;   // guards the fields below
    bool decision = false;
    bool shown = false;      // the approver has been (or is being) called
    bool answered = false;   // the approver has returned
    bool displaced = false;  // a newer question took its seat: it will not be asked
    uint64_t shownNs = 0;
  };

  // What one prologue holds at the desk, given back by withdraw() on every way out.
  struct Claim {
    uint64_t seat = 0;  // 0: none
    std::string fingerprint;
    std::shared_ptr<Box> box;
  };

  enum class Seat { taken, alreadyWaiting, addressWaiting, full, tooOften };

  // `unshown` runs (on the caller's thread) each time a question goes without
  // being put to the owner.
  static std::shared_ptr<ApprovalDesk> create(Rules rules, NowNs now = uptimeNs,
                                              std::function<void()> unshown = {});

  // A seat for the question of this fingerprint from `address` (IPv4, host
  // order); `seats` gets the seats taken before. `gaveWay` runs, on the
  // thread of the newer question and under the desk's lock, if the seat goes
  // to a newer question before the claim is withdrawn.
  Seat take(Claim& claim, const std::string& fingerprint, uint32_t address, int64_t& seats,
            std::function<void()> gaveWay = {});
  // Hands the seated question in; `shown` runs on the desk's thread just
  // before it goes up. False, with the reason in `error`, when no thread
  // could be started to ask it or its seat went to a newer question (the box
  // says so).
  bool ask(Claim& claim, Approve approve, const std::string& sas, const std::string& name,
           std::function<void()> shown, const StartThread& startThread, std::string& error);
  // Gives back what the claim holds. A question that is up is dismissed
  // through `cancel`, once it has been up a sheet interval unless `promptly`.
  // True when it was dismissed.
  bool withdraw(Claim& claim, const CancelApprove& cancel, bool promptly);
  // Seats taken: waiting, handed in and the question that is up.
  int64_t seats() const;
  // Questions not put to the owner since the last call.
  int64_t takeUnshown();

 private:
  struct Request {
    Approve approve;
    std::string sas, fingerprint, name;
    std::function<void()> shown;
  };
  struct Entry {
    std::string fingerprint;
    uint32_t address = 0;
    int64_t level = 0;  // whole questions its address had left once it paid
    uint64_t seatedNs = 0;
    std::shared_ptr<Box> box;
    std::function<void()> gaveWay;
    std::shared_ptr<Request> request;  // set once handed in
    uint64_t handedInNs = 0;
    bool up = false;
    bool withdrawn = false;  // its device is gone; the question is still up
  };
  struct Budget {
    double questions = 0;
    uint64_t refilledNs = 0;
  };
  ApprovalDesk(Rules rules, NowNs now, std::function<void()> unshown);
  static void serve(const std::shared_ptr<ApprovalDesk>& desk);
  // The next question to put up, or entries_.end(); `waiting` says whether any was handed in.
  std::map<uint64_t, Entry>::iterator next(uint64_t nowNs, bool& waiting);
  Budget& budget(uint32_t address, uint64_t nowNs);
  // Waits on the desk's clock until `deadlineNs` or until `box` is signalled.
  void waitFor(Box& box, uint64_t deadlineNs) const;

  const Rules rules_;
  const NowNs now_;
  const std::function<void()> unshownHook_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint64_t, Entry> entries_;  // every seat taken
  std::map<uint32_t, Budget> budgets_;
  uint64_t nextSeat_ = 1;
  int64_t unshown_ = 0;
  bool sheetChanged_ = false;
  uint64_t sheetChangedNs_ = 0;  // a question last went up or came down
  bool asking_ = false;  // the thread exists
  std::weak_ptr<ApprovalDesk> self_;
};

}  // namespace lumenrail

#pragma once

// Network links of a sealed or pairing server that have not yet proven their
// peer (pairing prologue done, or a sealed record opened) are few: at most
// `maxUnproven` at once, and `maxPerAddress` of them from one peer address.
// A full house does not refuse the newcomer: the link that has made no
// progress the longest gives way (of the newcomer's own address when that
// address is full); of the links idle for a second or more, the one that has
// come least far in its proof goes first, so a device busy with its proof is
// not aged out for a crowd of silent links, and links of an address whose
// device proved itself lately go last.
//
// No link gives way before its thread has looked at what it sent: a device
// that dialled into a churning house is read before anyone may close it.
// One address ages out at most `maxPerAddress` links a second, and the whole
// house at most `housePerSecond` links of other addresses for addresses that
// did so within the last `coldNs`; an address that has not (a device that
// dials now and then), or whose link proved itself within `trustNs`, is not
// held to the house's bound. So strangers from any number of addresses
// cannot keep a paired device or a key holder out by re-opening links: their
// addresses soon wait their turn, a device's does not. A link that waits for
// the owner's answer is held, never aged out; the owner's desk bounds those.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "platform/Clock.hpp"

namespace lumenrail {

class LinkAdmission final {
 public:
  struct Bounds {
    int64_t maxUnproven = 16;
    int64_t maxPerAddress = 4;
    // A link that made progress this recently is busy with its proof.
    uint64_t busyNs = kNsPerSecond;
    int64_t housePerSecond = 16;
    uint64_t coldNs = 60 * kNsPerSecond;
    uint64_t trustNs = 600 * kNsPerSecond;
  };
  // Ends a link that gave way and returns its socket (-1: already gone);
  // called by the admitting caller, without the admission's lock.
  using Evict = std::function<int()>;

  struct Ticket {
    uint64_t id = 0;  // 0: refused
    explicit operator bool() const { return id != 0; }
  };
  enum class Refusal { none, allHeld, addressTooFast, houseTooFast };
  struct Admitted {
    Ticket ticket;
    Evict victim;  // the link that gave way, for the caller to end
    uint64_t victimIdleNs = 0;
    Refusal refusal = Refusal::none;
    bool unread = false;  // refused while some link had not been looked at yet
  };

  explicit LinkAdmission(Bounds bounds);
  LinkAdmission(const LinkAdmission&) = delete;
  LinkAdmission& operator=(const LinkAdmission&) = delete;

  // Counts a new unproven link from `address` (IPv4, host order) at `nowNs`.
  // Refused only when every place it could take is held or not yet looked
  // at, or when its address (or the house) has aged out all it may for now.
  Admitted admit(uint32_t address, uint64_t nowNs, Evict evict);
  // The link's thread has looked at what it sent: from now it may give way.
  void looked(Ticket ticket);
  // Waits (in real time) until a link has been looked at or has left, at
  // most `timeoutNs`: a newcomer refused with `unread` may then try again.
  void awaitLook(uint64_t timeoutNs);
  // The link finished a step of its proof: it has come one step further.
  void progress(Ticket ticket, uint64_t nowNs);
  // While held, the link waits for the owner and is never aged out.
  void hold(Ticket ticket, bool held);
  // The link proved its peer: its address is trusted for a while.
  void proven(Ticket ticket, uint64_t nowNs);
  // The link proved itself, ended or gave way; a second call does nothing.
  void release(Ticket ticket);
  int64_t unproven() const;
  // Of those, the links no thread has looked at yet.
  int64_t unread() const;

 private:
  struct Link {
    uint32_t address;
    uint64_t lastProgressNs;
    uint64_t lastEvent;  // of arrivals and steps, in order: the clock may not move between them
    int64_t steps = 0;
    bool looked = false;
    bool held = false;
    Evict evict;
  };
  struct Bucket {
    double tokens = 0;
    uint64_t refilledNs = 0;
    // Takes one token at `nowNs`, refilling `perSecond` up to `capacity`; false when none is left.
    bool take(double capacity, double perSecond, uint64_t nowNs, bool dryRun = false);
  };
  struct Address {
    int64_t links = 0;
    Bucket evictions;  // what it may still age out
    bool agedOutOthers = false;
    uint64_t agedOutOthersNs = 0;  // when it last made another address's link give way
    bool proved = false;
    uint64_t provedNs = 0;
  };
  // The link to give way among those from `address` (or all with nullptr).
  std::map<uint64_t, Link>::iterator stalest(const uint32_t* address, uint64_t nowNs);
  // Addresses that may age out a link of another address without the
  // house's leave: one that has not done so lately, or whose link proved itself.
  bool cold(const Address& address, uint64_t nowNs) const;
  bool trusted(const Address& address, uint64_t nowNs) const;
  void forget(std::map<uint64_t, Link>::iterator link);
  void forgetIdleAddresses(uint64_t nowNs);

  const Bounds bounds_;
  mutable std::mutex mutex_;
  std::condition_variable looks_;
  uint64_t lookCount_ = 0;  // links looked at or gone
  uint64_t nextId_ = 1;
  uint64_t events_ = 0;
  std::map<uint64_t, Link> links_;
  std::map<uint32_t, Address> addresses_;
  Bucket house_;
};

}  // namespace lumenrail

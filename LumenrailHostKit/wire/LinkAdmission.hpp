#pragma once

// Network links of a sealed or pairing server that have not yet proven their
// peer (pairing prologue done, or a sealed record opened) are few: at most
// `maxUnproven` at once, and `maxPerAddress` of them from one peer address.
// A full house does not refuse the newcomer: the link that has made no
// progress the longest gives way (of the newcomer's own address when that
// address is full); of the links idle for a second or more, the one that has
// come least far in its proof goes first, so a device busy with its proof is
// not aged out for a crowd of silent links, and
// strangers that hold or re-open links from any number of addresses cannot
// keep a paired device or a key holder out. One address ages out at most
// `maxPerAddress` links a second, so strangers that re-open at once cannot
// churn the house faster than a device finishes its proof. A link that waits
// for the owner's answer is held, never aged out; the owner's desk bounds those.

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
  };
  // Ends a link that gave way and returns its socket (-1: already gone);
  // called by the admitting caller, without the admission's lock.
  using Evict = std::function<int()>;

  struct Ticket {
    uint64_t id = 0;  // 0: refused
    explicit operator bool() const { return id != 0; }
  };
  struct Admitted {
    Ticket ticket;
    Evict victim;  // the link that gave way, for the caller to end
    uint64_t victimIdleNs = 0;
    bool tooFast = false;  // refused: its address has aged out all it may for now
  };

  explicit LinkAdmission(Bounds bounds);
  LinkAdmission(const LinkAdmission&) = delete;
  LinkAdmission& operator=(const LinkAdmission&) = delete;

  // Counts a new unproven link from `address` (IPv4, host order) at `nowNs`.
  // Refused only when every place it could take is held.
  Admitted admit(uint32_t address, uint64_t nowNs, Evict evict);
  // The link finished a step of its proof: it has come one step further.
  void progress(Ticket ticket, uint64_t nowNs);
  // While held, the link waits for the owner and is never aged out.
  void hold(Ticket ticket, bool held);
  // The link proved itself, ended or gave way; a second call does nothing.
  void release(Ticket ticket);
  int64_t unproven() const;

 private:
  struct Link {
    uint32_t address;
    uint64_t lastProgressNs;
    uint64_t lastEvent;  // of arrivals and steps, in order: the clock may not move between them
    int64_t steps = 0;
    bool held = false;
    Evict evict;
  };
  struct Address {
    int64_t links = 0;
    double evictions = 0;  // tokens: what it may still age out
    uint64_t refilledNs = 0;
  };
  // The link to give way among those from `address` (or all with nullptr).
  std::map<uint64_t, Link>::iterator stalest(const uint32_t* address, uint64_t nowNs);
  // Takes one of the address's evictions at `nowNs`; false when none is left.
  bool takeEviction(Address& address, uint64_t nowNs) const;
  void forget(std::map<uint64_t, Link>::iterator link);

  const Bounds bounds_;
  mutable std::mutex mutex_;
  uint64_t nextId_ = 1;
  uint64_t events_ = 0;
  std::map<uint64_t, Link> links_;
  std::map<uint32_t, Address> addresses_;
};

}  // namespace lumenrail

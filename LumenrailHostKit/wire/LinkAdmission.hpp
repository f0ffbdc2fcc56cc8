#pragma once

// Network links of a sealed or pairing server that have not yet proven their
// peer (pairing prologue done, or a sealed record opened) are counted; beyond
// the bound a new one is refused, so idle or junk connections stay few. One
// peer address holds only a few of the places, and a few more are kept for
// paired devices: a link admitted to them must name a paired device in its
// first message or is dropped, so strangers filling the common places never
// lock a paired device out.

#include <cstdint>
#include <map>
#include <mutex>

namespace lumenrail {

class LinkAdmission final {
 public:
  struct Bounds {
    int64_t maxUnproven = 16;
    int64_t maxPerAddress = 4;
    int64_t reservedForPaired = 4;  // beyond maxUnproven
  };
  enum class Place { common, reserved, refused };

  explicit LinkAdmission(Bounds bounds);
  LinkAdmission(const LinkAdmission&) = delete;
  LinkAdmission& operator=(const LinkAdmission&) = delete;

  // Counts a new unproven link from `address` (IPv4, host order). A reserved
  // place is offered only when `reserveUsable`. Refused: nothing is counted,
  // and `waiting` says how many wait (all of them, or this address's).
  Place admit(uint32_t address, bool reserveUsable, int64_t& waiting);
  // An admitted link proved itself or ended.
  void release(uint32_t address, Place place);
  int64_t unproven() const;

 private:
  const Bounds bounds_;
  mutable std::mutex mutex_;
  int64_t common_ = 0;
  int64_t reserved_ = 0;
  std::map<uint32_t, int64_t> perAddress_;
};

}  // namespace lumenrail

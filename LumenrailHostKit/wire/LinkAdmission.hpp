#pragma once

// Network links of a sealed or pairing server that have not yet proven their
// peer (pairing prologue done, or a sealed record opened) are counted; beyond
// the bound a new one is refused, so idle or junk connections stay few.

#include <cstdint>
#include <mutex>

namespace lumenrail {

class LinkAdmission final {
 public:
  explicit LinkAdmission(int64_t maxUnproven);
  LinkAdmission(const LinkAdmission&) = delete;
  LinkAdmission& operator=(const LinkAdmission&) = delete;

  // Counts a new unproven link; false, with how many already wait in
  // `waiting`, when the bound is reached (nothing is counted then).
  bool admit(int64_t& waiting);
  // An admitted link proved itself or ended.
  void release();
  int64_t unproven() const;

 private:
  const int64_t maxUnproven_;
  mutable std::mutex mutex_;
  int64_t unproven_ = 0;
};

}  // namespace lumenrail

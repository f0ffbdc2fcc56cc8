#pragma once

// How much of one client's stream may wait for its link, counted in the
// time the link takes to carry it rather than in bytes: the kernel holds
// about kKernelNs of it (unsent and in flight together) and the client's
// frame queue about kQueueNs, so a picture reaches even a slow client a few
// frame intervals after capture instead of a kernel buffer's depth later.
//
// The rate is the median of the kernel's last kReadings delivery rates within
// kWindowNs, of those it measured while the stream filled the link (a quiet
// stream reports less than its link carries). One reading alone says little:
// a burst after an idle spell passes a token bucket or an access point's
// buffer at many times the link's rate.

#include <cstdint>
#include <deque>
#include <optional>

#include "platform/Clock.hpp"

namespace lumenrail {

class LinkBudget final {
 public:
  static constexpr uint64_t kKernelNs = 60 * kNsPerMs;
  static constexpr uint64_t kQueueNs = 150 * kNsPerMs;
  static constexpr uint64_t kWindowNs = 5 * kNsPerSecond;
  static constexpr size_t kReadings = 9;
  // A frame that would reach the client later than this after its capture
  // is not sent, unless it is a keyframe or cheap: a frame the link carries
  // within kCheapNs brings the client nearer the present however old it is
  // (the small frames behind a large keyframe), and dropping it would cost a
  // keyframe.
  static constexpr uint64_t kArrivalNs = 400 * kNsPerMs;
  static constexpr uint64_t kCheapNs = 50 * kNsPerMs;
  // A few segments however slow the link; no more than the kernel's usual
  // ceiling however fast.
  static constexpr int64_t kMinKernelBytes = 4 * 1024;
  static constexpr int64_t kMaxKernelBytes = 4 * 1024 * 1024;

  // One reading of the kernel's delivery rate (0: none, or one measured while
  // the stream left the link idle) and the link's shortest round trip.
  void note(uint64_t atNs, uint64_t rateBytesPerSecond, uint32_t minRttUs);
  // Bytes per second the link carries; 0 while unknown.
  uint64_t rate() const { return rate_; }
  // What the kernel may hold; nothing while the rate is unknown. It covers
  // two round trips besides, so the bound never starves the link itself.
  std::optional<int64_t> kernelBytes() const;
  // How much one send may hand the kernel, so that it overshoots the bound
  // by little (it checks its room only between its own buffers); 0: no limit.
  int64_t sendPieceBytes() const;
  // A frame `ageNs` after capture, of `bytes`, behind `queuedBytes` the
  // kernel holds (unsent and unacknowledged), would arrive too late to be
  // worth its link time.
  bool arrivesLate(uint64_t ageNs, int64_t queuedBytes, int64_t bytes) const;

 private:
  struct Reading {
    uint64_t atNs;
    uint64_t rate;
  };
  std::deque<Reading> readings_;  // oldest first
  uint64_t rate_ = 0;
  uint32_t minRttUs_ = 0;
};

// How long a link of `rateBytesPerSecond` takes to carry `bytes`; 0 while the rate is unknown.
inline uint64_t linkNs(int64_t bytes, uint64_t rateBytesPerSecond) {
  if (rateBytesPerSecond == 0 || bytes <= 0) return 0;
  return static_cast<uint64_t>(static_cast<double>(bytes) * 1e9 / static_cast<double>(rateBytesPerSecond));
}

}  // namespace lumenrail

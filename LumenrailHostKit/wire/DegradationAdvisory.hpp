#pragma once

// The advisory every client gets about the shared stream: how many clients
// share it, and whether encoding has fallen behind. Frames that slow clients
// did not get (evicted from their queues, or refused until the keyframe that
// lets them decode again) are counted per tick and judged with the hysteresis
// of DegradationPolicy.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/SerialQueue.hpp"
#include "wire/ClientConn.hpp"
#include "wire/DegradationPolicy.hpp"

namespace lumenrail {

class DegradationAdvisory final {
 public:
  using Say = std::function<void(const std::string&)>;

  explicit DegradationAdvisory(Say say);
  ~DegradationAdvisory();
  DegradationAdvisory(const DegradationAdvisory&) = delete;
  DegradationAdvisory& operator=(const DegradationAdvisory&) = delete;

  // Runs `tick` every interval on `queue` until stopTicks().
  void startTicks(SerialQueue& queue, uint64_t intervalNs, std::function<void()> tick);
  void stopTicks();

  void noteLost(int64_t frames);
  // Judges the frames lost since the last tick: the new verdict when it
  // changed (with its line), nothing otherwise.
  std::optional<bool> tick();
  // Forgets count and verdict once no client is left; true (with its line)
  // when the verdict was degraded.
  bool reset();
  // The flag the clients are told; true when it changed.
  bool setDegraded(bool degraded);
  bool degraded() const;

  // The Advisory packet for this many clients.
  SharedPacket packet(int64_t clients) const;

 private:
  Say say_;
  mutable std::mutex mutex_;
  int64_t lost_ = 0;
  DegradationPolicy policy_;
  bool degraded_ = false;
  SerialQueue::Timer timer_;
};

}  // namespace lumenrail

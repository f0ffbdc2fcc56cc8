#pragma once

// How long a USB bridge waits before it dials (or opens) again after a link
// ended. A link that ends soon after it came up (the server is full, the
// client drops it at once) is retried after a wait that doubles from the
// first one up to a cap; a link that lived long enough resets the wait.
// Within a run of quick ends only the first is told: the rest are counted,
// and the count is told once the wait reaches its cap and when the run ends.
// Not thread-safe: its bridge guards it.

#include <cstdint>

#include "platform/Clock.hpp"

namespace lumenrail {

class RedialBackoff final {
 public:
  static constexpr uint64_t kMaxWaitNs = 8 * kNsPerSecond;
  static constexpr uint64_t kHealthyNs = 10 * kNsPerSecond;

  explicit RedialBackoff(uint64_t firstWaitNs) : firstWaitNs_(firstWaitNs) {}

  struct End {
    uint64_t waitNs = 0;  // before the next dial
    bool tell = true;     // the bridge logs this end as it always did
    bool reachedCap = false;  // first time this run: the bridge says it retries at the cap
    int64_t untold = 0;   // quick ends not logged, to be told now
  };
  End ended(uint64_t livedNs);

  // Whether the next link's lines are logged: not inside a run of quick ends.
  bool tellsNext() const { return quickEnds_ == 0; }
  int64_t quickEnds() const { return quickEnds_; }
  // Quick ends not logged and not yet told (the bridge stops); forgets them.
  int64_t takeUntold();

 private:
  const uint64_t firstWaitNs_;
  uint64_t waitNs_ = 0;
  int64_t quickEnds_ = 0;
  int64_t untold_ = 0;
};

}  // namespace lumenrail

#include "links/RedialBackoff.hpp"

#include <algorithm>
#include <utility>

namespace lumenrail {

RedialBackoff::End RedialBackoff::ended(uint64_t livedNs) {
  End end;
  if (livedNs >= kHealthyNs) {
    end.untold = takeUntold();
    quickEnds_ = 0;
    waitNs_ = 0;
    return end;
  }
  ++quickEnds_;
  const bool belowCap = waitNs_ < kMaxWaitNs;
  waitNs_ = waitNs_ == 0 ? firstWaitNs_ : std::min(waitNs_ * 2, kMaxWaitNs);
  end.waitNs = waitNs_;
  end.tell = quickEnds_ == 1;
  if (!end.tell) ++untold_;
  if (belowCap && waitNs_ == kMaxWaitNs && quickEnds_ > 1) {
    end.reachedCap = true;
    untold_ = 0;  // the cap's line counts them
  }
  return end;
}

int64_t RedialBackoff::takeUntold() { return std::exchange(untold_, 0); }

}  // namespace lumenrail

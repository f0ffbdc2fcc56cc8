#pragma once

// How many log lines one client may cause per window: a client that repeats
// a request thousands of times a second must not fill the log. Lines beyond
// the budget are counted, and the count is told with the next line logged
// (or by its owner when no line comes).

#include <cstdint>
#include <utility>

namespace lumenrail {

class LineBudget final {
 public:
  LineBudget(int64_t perWindow, uint64_t windowNs) : perWindow_(perWindow), windowNs_(windowNs) {}

  // True when a line may be logged at `nowNs`; `untold` then gets how many
  // were dropped since the last one logged (and forgets them).
  bool take(uint64_t nowNs, int64_t& untold) {
    if (!started_ || nowNs - windowStartNs_ >= windowNs_) {
      started_ = true;
      windowStartNs_ = nowNs;
      used_ = 0;
    }
    if (used_ >= perWindow_) {
      ++dropped_;
      return false;
    }
    ++used_;
    untold = dropped_;
    dropped_ = 0;
    return true;
  }
  int64_t dropped() const { return dropped_; }
  // The count not yet told, to be told now without a line of its own.
  int64_t takeDropped() { return std::exchange(dropped_, 0); }

 private:
  const int64_t perWindow_;
  const uint64_t windowNs_;
  bool started_ = false;
  uint64_t windowStartNs_ = 0;
  int64_t used_ = 0;
  int64_t dropped_ = 0;
};

}  // namespace lumenrail

#pragma once

// What a desktop offers to keep its display awake while a client is served.

namespace lumenrail {

// Keeps the display awake while held.
class SleepAssertion {
 public:
  virtual ~SleepAssertion() = default;
  virtual bool acquire() = 0;
  virtual void release() = 0;
};

}  // namespace lumenrail

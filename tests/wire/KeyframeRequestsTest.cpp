#include <gtest/gtest.h>

#include "wire/KeyframeRequests.hpp"

namespace lumenrail {
namespace {

constexpr uint64_t kMs = kNsPerMs;

TEST(KeyframeRequests, AClientAskingAHundredTimesASecondForcesTwoKeyframesASecond) {
  KeyframeRequests requests;
  int forced = 0;
  bool otherServedAtOnce = false;
  // Ten seconds: the flooder asks every 10 ms, the encoder looks every 20 ms,
  // another client asks once.
  for (uint64_t t = 0; t < 10'000 * kMs; t += 10 * kMs) {
    requests.ask(7, t);
    if (t == 1230 * kMs) requests.ask(9, t);
    if (t % (20 * kMs) != 0) continue;
    const bool due = requests.take(t);
    forced += due;
    if (t == 1240 * kMs) otherServedAtOnce = due;
  }
  EXPECT_EQ(forced, 21);
  EXPECT_TRUE(otherServedAtOnce);

  // Raised by the server: due at once, whatever the clients did.
  requests.raise();
  EXPECT_TRUE(requests.take(10'000 * kMs));
}

TEST(KeyframeRequests, ADeferredRequestIsServedAfterItsIntervalUnlessItsClientLeft) {
  KeyframeRequests requests;
  requests.ask(3, 0);
  EXPECT_TRUE(requests.take(0));
  requests.ask(4, 10 * kMs);
  EXPECT_TRUE(requests.take(10 * kMs));
  requests.ask(3, 100 * kMs);
  requests.ask(4, 100 * kMs);
  EXPECT_FALSE(requests.take(100 * kMs));
  requests.forget(3);
  EXPECT_FALSE(requests.take(500 * kMs)) << "client 3 left";
  EXPECT_TRUE(requests.take(510 * kMs)) << "client 4 waited";
  EXPECT_FALSE(requests.take(2000 * kMs));
  requests.ask(3, 2000 * kMs);
  EXPECT_TRUE(requests.take(2000 * kMs)) << "a socket number used again starts afresh";
}

}  // namespace
}  // namespace lumenrail

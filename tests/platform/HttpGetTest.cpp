#include "platform/HttpGet.hpp"

#include <dlfcn.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/OneShotEvent.hpp"
#include "support/Waiting.hpp"

namespace {

// Look-ups of this one name block until the test lets them go; a look-up
// that cannot finish quickly, without depending on any real resolver.
constexpr const char* kBlockedHost = "lookup-held.lumenrail.test";

struct HeldLookups {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  lumenrail::test::EventCounter started;
  lumenrail::test::EventCounter finished;
};

HeldLookups& heldLookups() {
  static HeldLookups* held = new HeldLookups;  // detached resolver threads may outlive main
  return *held;
}

}  // namespace

// Interposes the C library's resolver for this test program; libcurl's
// resolver thread calls it. Every other name goes to the real one.
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) noexcept {
  if (node != nullptr && std::strcmp(node, kBlockedHost) == 0) {
    HeldLookups& held = heldLookups();
    held.started.add();
    {
      std::unique_lock lock(held.mutex);
      held.cv.wait(lock, [&] { return held.released; });
    }
    held.finished.add();
    return EAI_NONAME;
  }
  using Real = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
  return real(node, service, hints, res);
}

namespace lumenrail {
namespace {

TEST(HttpGet, CancelDoesNotWaitForANameLookup) {
  HeldLookups& held = heldLookups();
  HttpCancel cancel;
  HttpGetResult result;
  OneShotEvent returned;
  std::thread transfer([&] {
    result = httpGet(std::string("http://") + kBlockedHost + "/m.json", HttpGetOptions{}, &cancel);
    returned.signal();
  });
  const bool lookupStarted = held.started.waitFor(1);
  cancel.cancel();
  // The look-up is still held here: a transfer that waited for it would not
  // return until the deadline, and the test fails instead of hanging.
  const bool returnedWhileHeld = returned.waitFor(test::kDeadlineNs);
  const bool lookupStillHeld = held.finished.count() == 0;
  {
    std::lock_guard lock(held.mutex);
    held.released = true;
  }
  held.cv.notify_all();
  transfer.join();

  ASSERT_TRUE(lookupStarted);
  EXPECT_TRUE(returnedWhileHeld);
  EXPECT_TRUE(lookupStillHeld);
  EXPECT_TRUE(result.cancelled);
  EXPECT_FALSE(result.error.has_value());
  // The abandoned look-up thread still ends on its own.
  EXPECT_TRUE(held.finished.waitFor(1));
}

}  // namespace
}  // namespace lumenrail

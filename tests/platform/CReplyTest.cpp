#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <utility>

#include "platform/CReply.hpp"

namespace lumenrail {
namespace {

struct Reply {
  unsigned char bytes[4000];
};

// glibc's count of bytes handed out and not yet freed; the sanitizers bring an
// allocator of their own, and there a second free() aborts the test instead.
size_t bytesInUse() { return mallinfo2().uordblks; }

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCountsBytes = false;
#else
constexpr bool kCountsBytes = true;
#endif

TEST(CReply, FreesOnceAfterMovesAndNeverFreesNull) {
  const size_t before = bytesInUse();
  {
    auto first = ownReply(static_cast<Reply*>(std::malloc(sizeof(Reply))));
    ASSERT_NE(first, nullptr);
    first->bytes[0] = 7;
    CReply<Reply> second = std::move(first);
    EXPECT_EQ(first, nullptr);
    first.reset();  // the moved-from owner frees nothing
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bytes[0], 7);
    if (kCountsBytes) {
      EXPECT_GE(bytesInUse(), before + sizeof(Reply));
    }

    CReply<Reply> third;
    third = std::move(second);
    const auto none = ownReply(static_cast<Reply*>(nullptr));
    EXPECT_EQ(none, nullptr);
  }
  if (kCountsBytes) {
    EXPECT_EQ(bytesInUse(), before);
  }
}

}  // namespace
}  // namespace lumenrail

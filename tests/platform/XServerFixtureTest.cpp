#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

// The fixture that the capture and input tests stand on: a private server that
// accepts connections on its own display socket and goes away with the fixture.
TEST(PrivateXServerIntegration, StartsOnAFreeDisplayAndStopsWithTheFixture) {
  std::string socketPath;
  ino_t socketInode = 0;
  {
    test::PrivateXServer x({640, 480, 24});
    if (!x.running()) GTEST_SKIP() << x.whyNot();
    ASSERT_EQ(x.display().front(), ':');
    socketPath = "/tmp/.X11-unix/X" + x.display().substr(1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << socketPath;
    ::close(fd);
    struct stat st {};
    ASSERT_EQ(::stat(socketPath.c_str(), &st), 0);
    socketInode = st.st_ino;
  }
  // Another test's server may take the freed display number at once: only
  // our own socket must be gone.
  struct stat after {};
  const bool ours = ::stat(socketPath.c_str(), &after) == 0 && after.st_ino == socketInode;
  EXPECT_FALSE(ours) << "the server left its socket behind";
}

}  // namespace
}  // namespace lumenrail

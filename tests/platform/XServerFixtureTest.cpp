#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

// The fixture that the capture and input tests stand on: a private server that
// accepts connections on its own display socket and goes away with the fixture.
TEST(PrivateXServerIntegration, StartsOnAFreeDisplayAndStopsWithTheFixture) {
  std::string socketPath;
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
  }
  EXPECT_NE(::access(socketPath.c_str(), F_OK), 0) << "the server left its socket behind";
}

}  // namespace
}  // namespace lumenrail

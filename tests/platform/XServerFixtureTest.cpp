#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

// The kernel's socket inodes bound to `path` (/proc/net/unix): unlike the
// file's inode, which the file system hands out again at once, these are
// never reused while the test runs.
std::set<uint64_t> socketsBoundTo(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  std::set<uint64_t> inodes;
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, name;
    uint64_t inode = 0;
    if (fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> name && name == path) {
      inodes.insert(inode);
    }
  }
  return inodes;
}

// The fixture that the capture and input tests stand on: a private server that
// accepts connections on its own display socket and goes away with the fixture.
TEST(PrivateXServerIntegration, StartsOnAFreeDisplayAndStopsWithTheFixture) {
  std::string socketPath;
  std::set<uint64_t> ours;
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
    ours = socketsBoundTo(socketPath);
    ASSERT_FALSE(ours.empty());
  }
  // Another test's server may take the freed display number at once: a
  // socket file there must then be bound by that server, not by ours. The
  // file is looked at first: a server binds before its file can be seen.
  struct stat st {};
  const bool fileThere = ::stat(socketPath.c_str(), &st) == 0;
  const std::set<uint64_t> now = socketsBoundTo(socketPath);
  for (const uint64_t inode : ours) EXPECT_EQ(now.count(inode), 0u) << "the server still listens";
  EXPECT_FALSE(fileThere && now.empty()) << "the server left its socket behind";
}

}  // namespace
}  // namespace lumenrail

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Log.hpp"
#include "support/TempFolder.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

std::string readText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The log holds pairing codes and fingerprints: owner-only, whatever an older
// start left, and bounded with exactly one previous file kept, lines whole.
TEST(HostLogFile, IsPrivateBoundedAndKeepsOnePreviousFile) {
  test::TempFolder temp("lumenrail-log");
  const fs::path folder = temp.root() / "state" / "Lumenrail";
  const fs::path file = folder / "host.log";
  fs::create_directories(folder);
  ::chmod(folder.c_str(), 0755);
  std::ofstream(file) << "line of an older start\n";
  ::chmod(file.c_str(), 0644);

  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(Log::toFile(file, 1000, {fd}));
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);

  const std::string filler(90, 'x');
  for (int n = 100; n < 130; ++n) Log::lineTo(fd, "[" + std::to_string(n) + "] " + filler);
  ::close(fd);

  const std::string now = readText(file);
  const std::string before = readText(folder / "host.log.1");
  EXPECT_LE(now.size(), 1000u);
  EXPECT_LE(before.size(), 1000u);
  EXPECT_EQ(modeOf(folder / "host.log.1"), 0600u);
  EXPECT_EQ(before.find("older start"), std::string::npos) << "only one previous file is kept";
  EXPECT_NE(now.find("[129] "), std::string::npos);
  EXPECT_EQ(before.substr(before.size() - filler.size() - 1), filler + "\n");
  // The two files hold the newest lines in order, none split.
  const std::string both = before + now;
  EXPECT_EQ(both.size() % (filler.size() + 7), 0u);
  EXPECT_EQ(both.substr(both.size() - filler.size() - 7, 6), "[129] ");
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().filename());
  EXPECT_EQ(files.size(), 2u);
}

}  // namespace
}  // namespace lumenrail

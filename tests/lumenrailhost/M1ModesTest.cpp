// The wire self-test in process, and the built program driven from outside.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "M1Wire.hpp"

namespace lumenrail {
namespace {

struct HostRun {
  int status = -1;
  std::string output;
};

HostRun runHost(const std::string& arguments) {
  HostRun run;
  const std::string command = std::string(LUMENRAILHOST_BINARY) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer{};
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.output.append(buffer.data(), n);
  const int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

TEST(M1SelfTestIntegration, PassesAgainstItsOwnServerOnAFreePort) {
  EXPECT_TRUE(runM1SelfTest(320, 240, 30, 0));
}

TEST(M1SelfTestIntegration, RefusesSizesTheEncoderCannotTake) {
  EXPECT_FALSE(runM1SelfTest(-320, 240, 30, 0));
  EXPECT_FALSE(runM1SelfTest(int64_t{1} << 40, 240, 30, 0));
}

TEST(LumenrailhostAcceptance, M1SelfTestPrintsItsChecksAndExitsZero) {
  const HostRun run = runHost("--m1-selftest --port 0 --width 320 --height 240 --fps 30");
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* expected :
       {"== lumenrail Linux host — M1 wire self-test ==", "[enc] started, hardware=false",
        "[m1] Hello OK: v2, 320x240, qpcFreq=1000000000", "[m1] Frames OK: 30 read, first=keyframe, ticks=",
        "[m1] RequestIdr OK: forced keyframe arrived", "[m1] TimeSync OK: echo matched, hostTicks=",
        "RESULT: M1 PASS"}) {
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
  }
}

TEST(LumenrailhostAcceptance, BadValuesAreRefusedWithoutACrash) {
  EXPECT_EQ(runHost("--m1-selftest --port 70000").status, 1);
  EXPECT_EQ(runHost("--m1-selftest --fps 4").status, 1);
  const HostRun big = runHost("--m1-selftest --port 0 --width 99999999999 --fps 30");
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.output.find("RESULT: M1 FAIL"), std::string::npos) << big.output;
}

}  // namespace
}  // namespace lumenrail

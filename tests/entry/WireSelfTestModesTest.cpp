// The wire self-test in process, and the built program driven from outside.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "entry/WireSelfTest.hpp"
#include "media/SyntheticFrameSource.hpp"
#include "platform/Clock.hpp"
#include "platform/OneShotEvent.hpp"
#include "support/PortBlocker.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

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

// The stream of a server that keeps its regular keyframes but answers only
// the keyframe request a new client makes, never the client's own.
class IdrIgnoringServer {
 public:
  IdrIgnoringServer() : encoder_(std::make_shared<VideoToolboxEncoder>(VideoToolboxEncoder::Config{
                            kW, kH, kFps, 12'000'000, Wire::Codec::h264, 1.0})) {
    WireServer::Config config;
    config.port = 0;
    config.hello = {Wire::Codec::h264, kW, kH, kFps, 1, 12'000'000, kNsPerSecond};
    server_ = WireServer::create(config);
    WireServer::Hooks hooks;
    WireServer::recordKeyframes(hooks, keyframes_, uptimeNs);
    server_->setHooks(std::move(hooks));
    const auto server = server_;
    encoder_->sink = [server](const EncodedFrame& f) { server->broadcast(f.captureTimeNs, f.isKeyframe, f.data); };
    encoder_->start();
    server_->start();
    thread_ = std::thread([this] {
      SyntheticFrameSource source(kW, kH);
      bool connectAnswered = false;
      for (int64_t i = 0; !stop_.waitFor(kNsPerSecond / kFps); ++i) {
        const bool asked = keyframes_->take(uptimeNs());
        const bool force = asked && !connectAnswered;
        connectAnswered = connectAnswered || asked;
        encoder_->encode(source.makeFrame(i), uptimeNs(), force);
      }
    });
  }
  ~IdrIgnoringServer() {
    stop_.signal();
    thread_.join();
    server_->stop();
    encoder_->stop();
  }
  uint16_t port() const { return server_->boundPort(); }
  WireTestStreamShape shape() const { return {kW, kH, kFps, encoder_->keyframeIntervalFrames()}; }

  static constexpr int32_t kW = 160, kH = 120, kFps = 30;

 private:
  std::shared_ptr<VideoToolboxEncoder> encoder_;
  std::shared_ptr<WireServer> server_;
  const std::shared_ptr<KeyframeRequests> keyframes_ = std::make_shared<KeyframeRequests>();
  OneShotEvent stop_;
  std::thread thread_;
};

// Writes `script` to the first client, then keeps the connection open and silent.
class ScriptedServer {
 public:
  explicit ScriptedServer(test::RawBytes script) : script_(std::move(script)) {
    thread_ = std::thread([this] {
      const int client = ::accept(blocker_.fd, nullptr, nullptr);
      if (client < 0) return;
      ::send(client, script_.data(), script_.size(), MSG_NOSIGNAL);
      done_.waitFor(test::kDeadlineNs * 3);
      ::close(client);
    });
  }
  ~ScriptedServer() {
    done_.signal();
    ::shutdown(blocker_.fd, SHUT_RDWR);
    thread_.join();
  }
  uint16_t port() const { return blocker_.port; }

 private:
  test::PortBlocker blocker_;
  test::RawBytes script_;
  OneShotEvent done_;
  std::thread thread_;
};

test::RawBytes helloFor(uint32_t w, uint32_t h) {
  test::RawBytes p{2, 0, 0, 0};
  test::putLE32(p, w);
  test::putLE32(p, h);
  test::putLE32(p, 30);
  test::putLE32(p, 1);
  test::putLE32(p, 12'000'000);
  test::putLE64(p, 1'000'000'000);
  return test::framed(test::Code::hello, p);
}

test::RawBytes keyframeAt(uint64_t ticks) {
  test::RawBytes p;
  test::putLE64(p, ticks);
  p.insert(p.end(), {1, 0, 0, 0, 0, 0, 0, 1, 0x65});
  return test::framed(test::Code::frame, p);
}

std::string checkOutput(uint16_t port, const WireTestStreamShape& shape, int64_t timeoutMs, bool& passed) {
  testing::internal::CaptureStdout();
  passed = checkWireTestStream(port, shape, timeoutMs);
  return testing::internal::GetCapturedStdout();
}

TEST(M1SelfTestIntegration, FailsWhenOnlyTheRegularIntervalDeliversKeyframes) {
  IdrIgnoringServer server;
  bool passed = true;
  const std::string out = checkOutput(server.port(), server.shape(), LoopbackClient::kReadTimeoutMs, passed);
  EXPECT_FALSE(passed) << out;
  EXPECT_NE(out.find("[m1] Frames OK: 30 read, first=keyframe"), std::string::npos) << out;
  EXPECT_NE(out.find("[m1] FAIL: no keyframe after RequestIdr"), std::string::npos) << out;
  EXPECT_NE(out.find("RESULT: M1 FAIL"), std::string::npos) << out;
}

TEST(M1SelfTestIntegration, ASilentOrHostileServerFailsWithinTheReadTimeOut) {
  const WireTestStreamShape shape{160, 120, 30, 30};
  struct Case {
    const char* what;
    test::RawBytes script;
    const char* failure;
  };
  test::RawBytes thirtyKeyframes = helloFor(160, 120);
  for (uint64_t i = 1; i <= 30; ++i) {
    const auto f = keyframeAt(i);
    thirtyKeyframes.insert(thirtyKeyframes.end(), f.begin(), f.end());
  }
  test::RawBytes hugeLength = helloFor(160, 120);
  hugeLength.insert(hugeLength.end(), {0x03, 0xF0, 0xFF, 0xFF, 0xFF, 0x00});
  test::RawBytes trickle = helloFor(160, 120);
  trickle.insert(trickle.end(), {0x03, 0x40, 0x00, 0x00, 0x00, 0x01});  // 64 bytes promised, 1 sent
  for (const Case& c : {Case{"nothing at all", {}, "[m1] FAIL: no Hello"},
                        Case{"no answer to RequestIdr", thirtyKeyframes, "[m1] FAIL: no keyframe after RequestIdr"},
                        Case{"a 4 GB length", hugeLength, "[m1] FAIL: stream ended at frame 0"},
                        Case{"a short frame", trickle, "[m1] FAIL: stream ended at frame 0"}}) {
    ScriptedServer server(c.script);
    bool passed = true;
    const std::string out = checkOutput(server.port(), shape, 300, passed);
    EXPECT_FALSE(passed) << c.what;
    EXPECT_NE(out.find(c.failure), std::string::npos) << c.what << "\n" << out;
    EXPECT_NE(out.find("RESULT: M1 FAIL"), std::string::npos) << c.what << "\n" << out;
  }
}

TEST(M1SelfTestIntegration, PassesAgainstItsOwnServerOnAFreePort) {
  EXPECT_TRUE(runWireSelfTest(320, 240, 30, 0));
}

TEST(M1SelfTestIntegration, RefusesSizesTheEncoderCannotTake) {
  EXPECT_FALSE(runWireSelfTest(-320, 240, 30, 0));
  EXPECT_FALSE(runWireSelfTest(int64_t{1} << 40, 240, 30, 0));
}

// Without --port it picks a free one, so it passes beside a host serving on the usual port.
TEST(LumenrailhostAcceptance, M1SelfTestPrintsItsChecksAndExitsZero) {
  const int usual = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(27184);
  // Taken here, or already taken by a host that serves: busy either way.
  const bool held = ::bind(usual, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(usual, 1) == 0;
  ASSERT_TRUE(held || errno == EADDRINUSE) << std::strerror(errno);
  const HostRun run = runHost("--m1-selftest --width 320 --height 240 --fps 30");
  ::close(usual);
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* expected :
       {"== lumenrail Linux host — M1 wire self-test ==", "[enc] started, hardware=false",
        "[m1] Hello OK: v2, 320x240, qpcFreq=1000000000", "[m1] Frames OK: 30 read, first=keyframe, ticks=",
        "[m1] RequestIdr OK: forced keyframe arrived", "[m1] TimeSync OK: echo matched, hostTicks=",
        "RESULT: M1 PASS"}) {
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
  }
}

TEST(LumenrailhostAcceptance, M1SelfTestOnABusyPortFailsCleanly) {
  test::PortBlocker blocker;
  ASSERT_NE(blocker.port, 0);
  const HostRun run =
      runHost("--m1-selftest --port " + std::to_string(blocker.port) + " --width 320 --height 240 --fps 30");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("[m1] FAIL: pump start: port " + std::to_string(blocker.port) +
                            " is already in use (another Lumenrail host?)\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("RESULT: M1 FAIL"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("[m1] Hello OK"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace lumenrail

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "media/AudioCaptureSource.hpp"
#include "support/EventLog.hpp"
#include "support/PrivatePulse.hpp"
#include "support/TestAudio.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

// Collects the first channel of what a capture delivers, and notices any
// delivery after the owner declared the capture stopped.
struct CaptureSink {
  std::mutex mutex;
  std::vector<float> left;
  int64_t audibleFrames = 0;
  std::atomic<bool> closed{false};
  std::atomic<int> lateDeliveries{0};
  test::EventCounter buffers;
  test::EventLog log;
  test::EventLog stops;

  template <typename Source>
  void attach(Source& source) {
    source.onPCM = [this](const AudioSampleBuffer& buffer, uint64_t) { add(buffer); };
    source.onStop = [this](std::optional<std::string> error) { stops.add(error.value_or("no error")); };
    source.log = [this](const std::string& line) { log.add(line); };
  }

  void add(const AudioSampleBuffer& buffer) {
    if (closed) ++lateDeliveries;
    if (buffer.format && buffer.format->isFloat() && !buffer.buffers.empty()) {
      const uint32_t n = buffer.format->channelsPerFrame;
      std::lock_guard lock(mutex);
      for (int64_t i = 0; i < buffer.frames; ++i) {
        float v;
        std::memcpy(&v, buffer.buffers[0].data() + static_cast<size_t>(i) * n * 4, 4);
        // Silence before the tone reaches the monitor is not part of the tone.
        if (audibleFrames > 0 || std::abs(v) > 0.01f) {
          left.push_back(v);
          ++audibleFrames;
        }
      }
    }
    buffers.add();
  }

  int64_t audible() {
    std::lock_guard lock(mutex);
    return audibleFrames;
  }
  std::vector<float> samples() {
    std::lock_guard lock(mutex);
    return left;
  }
};

// A socket that accepts connections but never answers: a server that hangs.
struct SilentServer {
  std::string dir;
  std::string path;
  int fd = -1;
  SilentServer() {
    char templ[] = "/tmp/lumenrail-silent-XXXXXX";
    dir = ::mkdtemp(templ);
    path = dir + "/native";
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 8);
  }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ~SilentServer() {
    close();
    std::filesystem::remove_all(dir);
  }
};

TEST(AudioCaptureSource, RejectsFormatsTheServerCannotCarry) {
  AudioCaptureSource zeroRate({0, 2, 0});
  try {
    zeroRate.start();
    FAIL() << "started";
  } catch (const AudioCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind(), AudioCaptureSource::CaptureError::Kind::invalidFormat);
    EXPECT_STREQ(e.what(), "invalidFormat(0Hz 2ch)");
  }
  AudioCaptureSource manyChannels({48000, 1000, 0});
  EXPECT_THROW(manyChannels.start(), AudioCaptureSource::CaptureError);
  EXPECT_FALSE(manyChannels.running());
}

TEST(AudioCaptureSource, UnreachableServerFailsTheStartAndStopIsHarmless) {
  AudioCaptureSource source({48000, 2, 0});
  source.stop();  // never started
  source.server = "unix:/nonexistent/lumenrail/native";
  try {
    source.start();
    FAIL() << "started";
  } catch (const AudioCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind(), AudioCaptureSource::CaptureError::Kind::streamFailed);
    EXPECT_EQ(std::string(e.what()).rfind("streamFailed(", 0), 0u) << e.what();
  }
  EXPECT_FALSE(source.running());
  source.stop();
  source.stop();
}

TEST(AudioCaptureSource, StartThatOutlivesItsWaitIsAbandoned) {
  SilentServer hung;
  CaptureSink sink;
  auto source = std::make_unique<AudioCaptureSource>(AudioCaptureSource::Config{48000, 2, 0});
  sink.attach(*source);
  source->server = "unix:" + hung.path;
  try {
    source->start(50'000'000);
    FAIL() << "started";
  } catch (const AudioCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind(), AudioCaptureSource::CaptureError::Kind::startTimedOut);
    EXPECT_STREQ(e.what(), "startTimedOut");
  }
  EXPECT_FALSE(source->running());
  hung.close();  // the server's answer finally comes: a refused connection
  source.reset();
  EXPECT_EQ(sink.buffers.count(), 0);
}

TEST(AudioCaptureIntegration, CapturesAToneFromTheSinkMonitor) {
  test::PrivatePulse pulse;
  if (!pulse.running()) GTEST_SKIP() << pulse.whyNot();
  ASSERT_TRUE(pulse.playTone(1000));
  CaptureSink sink;
  uint64_t clock = 5'000'000'000'000;
  AudioCaptureSource source({48000, 2, 0}, [&clock] { return clock; });
  sink.attach(source);
  source.server = pulse.server();
  source.start();
  EXPECT_TRUE(source.running());
  ASSERT_TRUE(test::eventually([&] { return sink.audible() >= 24000; }));
  source.stop();
  sink.closed = true;
  EXPECT_FALSE(source.running());

  EXPECT_NEAR(test::medianZeroCrossingHz(sink.samples(), 48000), 1000, 30);
  ASSERT_TRUE(sink.log.waitFor("[audio] sound-server delivery: "));
  EXPECT_NE(sink.log.lines()[0].find("ms after capture stamp, 480 samples (10.0ms of audio)"), std::string::npos)
      << sink.log.lines()[0];
  EXPECT_EQ(sink.log.count("sound-server delivery"), 1 + (sink.buffers.count() - 1) / 200);
  EXPECT_EQ(source.captureLatencyCount(), sink.buffers.count());
  pulse.stopTone();
  EXPECT_EQ(sink.lateDeliveries, 0);
  EXPECT_TRUE(sink.stops.lines().empty());
}

TEST(AudioCaptureIntegration, ServerThatGoesAwayEndsTheCaptureThroughOnStop) {
  auto pulse = std::make_unique<test::PrivatePulse>();
  if (!pulse->running()) GTEST_SKIP() << pulse->whyNot();
  CaptureSink sink;
  AudioCaptureSource source({48000, 2, 0});
  sink.attach(source);
  source.server = pulse->server();
  source.start();
  ASSERT_TRUE(sink.buffers.waitFor(1));
  pulse.reset();
  ASSERT_TRUE(sink.stops.waitFor(""));
  EXPECT_NE(sink.stops.lines()[0], "no error");
  source.stop();
}

}  // namespace
}  // namespace lumenrail

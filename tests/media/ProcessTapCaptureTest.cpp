#include <gtest/gtest.h>
#include <pulse/def.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "media/ProcessTapCaptureSource.hpp"
#include "support/EventLog.hpp"
#include "support/PrivatePulse.hpp"
#include "support/TestAudio.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using Kind = ProcessTapCaptureSource::CaptureError::Kind;

struct TapSink {
  std::mutex mutex;
  std::vector<float> left;
  int64_t audibleFrames = 0;
  std::atomic<bool> closed{false};
  std::atomic<int> lateDeliveries{0};
  std::atomic<bool> badFormat{false};
  std::atomic<double> rate{0};  // the sink's own rate
  test::EventCounter buffers;
  test::EventLog log;
  test::EventLog stops;

  void attach(ProcessTapCaptureSource& source) {
    source.onPCM = [this](const AudioSampleBuffer& buffer, uint64_t delivered) {
      if (closed) ++lateDeliveries;
      if (!buffer.format || buffer.format->channelsPerFrame != 2 || !buffer.format->isFloat() ||
          buffer.buffers.size() != 1 || buffer.buffers[0].size() != static_cast<size_t>(buffer.frames) * 8 ||
          !buffer.presentationNs || *buffer.presentationNs > delivered) {
        badFormat = true;
      }
      if (buffer.format) rate = buffer.format->sampleRate;
      {
        std::lock_guard lock(mutex);
        for (int64_t i = 0; i < buffer.frames; ++i) {
          float v;
          std::memcpy(&v, buffer.buffers[0].data() + static_cast<size_t>(i) * 8, 4);
          if (audibleFrames > 0 || std::abs(v) > 0.01f) {
            left.push_back(v);
            ++audibleFrames;
          }
        }
      }
      buffers.add();
    };
    source.onStop = [this](std::optional<std::string> error) { stops.add(error.value_or("no error")); };
    source.log = [this](const std::string& line) { log.add(line); };
  }
  int64_t audible() {
    std::lock_guard lock(mutex);
    return audibleFrames;
  }
};

Bytes floats(std::initializer_list<float> values) {
  Bytes bytes(values.size() * 4);
  size_t i = 0;
  for (float v : values) std::memcpy(&bytes[4 * i++], &v, 4);
  return bytes;
}

TEST(ProcessTapCaptureSource, SilenceIsJudgedOnFloatSamplesOnly) {
  AudioSampleBuffer buffer;
  buffer.format = AudioStreamFormat::float32Interleaved(48000, 2);
  buffer.frames = 2;
  buffer.buffers = {floats({0.0001f, -0.0001f, 0.0f, 0.00005f})};
  EXPECT_TRUE(ProcessTapCaptureSource::isSilent(buffer));
  buffer.buffers = {floats({0.0f, 0.0f, -0.00011f, 0.0f})};
  EXPECT_FALSE(ProcessTapCaptureSource::isSilent(buffer));
  buffer.buffers = {floats({0.0f, std::nanf(""), 0.0f, 0.0f})};
  EXPECT_FALSE(ProcessTapCaptureSource::isSilent(buffer));
  buffer.format = AudioStreamFormat{48000, AudioFormatFlag::isSignedInteger, 2, 16};
  buffer.buffers = {Bytes(8, 0)};
  EXPECT_FALSE(ProcessTapCaptureSource::isSilent(buffer));
}

TEST(ProcessTapCaptureSource, UnreachableServerThrowsTapCreationFailed) {
  ProcessTapCaptureSource source({256});
  source.stop();  // never started
  source.server = "unix:/nonexistent/lumenrail/native";
  try {
    source.start();
    FAIL() << "started";
  } catch (const ProcessTapCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind(), Kind::tapCreationFailed);
    EXPECT_LT(e.status(), 0);
    EXPECT_EQ(std::string(e.what()), "tapCreationFailed(" + std::to_string(e.status()) + ")");
  }
  source.stop();
  source.stop();
}

TEST(ProcessTapCaptureSource, ServerThatNeverAnswersTimesOutAndLeavesNothing) {
  char templ[] = "/tmp/lumenrail-silent-XXXXXX";
  const std::string dir = ::mkdtemp(templ);
  const std::string path = dir + "/native";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  TapSink sink;
  ProcessTapCaptureSource source({256});
  sink.attach(source);
  source.server = "unix:" + path;
  try {
    source.start(50'000'000);
    FAIL() << "started";
  } catch (const ProcessTapCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind(), Kind::tapCreationFailed);
    EXPECT_EQ(e.status(), -PA_ERR_TIMEOUT);
  }
  ::close(fd);
  source.stop();
  std::filesystem::remove_all(dir);
  EXPECT_EQ(sink.buffers.count(), 0);
  EXPECT_TRUE(sink.stops.lines().empty());
}

TEST(ProcessTapCaptureIntegration, CapturesAToneAndReportsSilenceUntilThen) {
  test::PrivatePulse pulse;
  if (!pulse.running()) GTEST_SKIP() << pulse.whyNot();
  TapSink sink;
  ProcessTapCaptureSource source({256});
  sink.attach(source);
  source.server = pulse.server();
  source.start();
  ASSERT_TRUE(sink.log.waitFor("SILENT so far"));
  EXPECT_FALSE(source.sawAudio());
  ASSERT_TRUE(pulse.playTone(1000));
  ASSERT_TRUE(test::eventually([&] { return sink.audible() >= 24000; }));
  source.stop();
  sink.closed = true;
  pulse.stopTone();

  EXPECT_TRUE(source.sawAudio());
  EXPECT_EQ(sink.log.count("[audio] tap delivering audio — capture grant is in force"), 1);
  EXPECT_EQ(sink.log.count(
                "[audio] tap running but SILENT so far — either nothing is playing, or the audio-capture grant is "
                "missing (a denied tap yields zeros, not an error)"),
            sink.log.count("SILENT"));
  for (const auto& line : sink.log.lines()) {
    if (line.find("io buffer") != std::string::npos) {
      EXPECT_EQ(line.rfind("[audio] tap io buffer: asked 256 frames, got ", 0), 0u) << line;
    }
  }
  EXPECT_TRUE(sink.log.contains("[audio] tap delivery: "));
  std::vector<float> samples;
  {
    std::lock_guard lock(sink.mutex);
    samples = sink.left;
  }
  EXPECT_NEAR(test::medianZeroCrossingHz(samples, sink.rate), 1000, 30);
  EXPECT_EQ(source.captureLatencyCount(), sink.buffers.count());
  EXPECT_FALSE(sink.badFormat);
  EXPECT_EQ(sink.lateDeliveries, 0);
  EXPECT_TRUE(sink.stops.lines().empty());
}

TEST(ProcessTapCaptureIntegration, DefaultSinkChangeIsReportedUntilStopped) {
  test::PrivatePulse pulse;
  if (!pulse.running()) GTEST_SKIP() << pulse.whyNot();
  ASSERT_TRUE(pulse.pactl({"load-module", "module-null-sink", "sink_name=lr_other"}));
  TapSink sink;
  ProcessTapCaptureSource source({256});
  sink.attach(source);
  source.server = pulse.server();
  source.start();
  ASSERT_TRUE(pulse.pactl({"set-default-sink", "lr_other"}));
  ASSERT_TRUE(sink.stops.waitFor("no error"));
  EXPECT_TRUE(sink.log.waitFor("[audio] default output device changed — rebuilding the tap"));
  source.stop();
  ASSERT_TRUE(pulse.pactl({"set-default-sink", "lr_test"}));
  EXPECT_EQ(sink.stops.lines().size(), 1u);
  EXPECT_EQ(sink.log.count("default output device changed"), 1);
}

TEST(ProcessTapCaptureIntegration, OnStopMayStopTheSourceItReports) {
  test::PrivatePulse pulse;
  if (!pulse.running()) GTEST_SKIP() << pulse.whyNot();
  ASSERT_TRUE(pulse.pactl({"load-module", "module-null-sink", "sink_name=lr_other"}));
  ProcessTapCaptureSource source({256});
  test::EventCounter stopped;
  source.log = nullptr;
  source.onStop = [&](std::optional<std::string>) {
    source.stop();
    stopped.add();
  };
  source.server = pulse.server();
  source.start();
  ASSERT_TRUE(pulse.pactl({"set-default-sink", "lr_other"}));
  ASSERT_TRUE(stopped.waitFor(1));
  source.stop();
}

TEST(ProcessTapCaptureIntegration, NoSinkThrowsNoOutputDevice) {
  test::PrivatePulse pulse;
  if (!pulse.running()) GTEST_SKIP() << pulse.whyNot();
  ASSERT_TRUE(pulse.pactl({"unload-module", "module-null-sink"}));
  ProcessTapCaptureSource source({256});
  source.server = pulse.server();
  try {
    source.start();
    FAIL() << "started";
  } catch (const ProcessTapCaptureSource::CaptureError& e) {
    EXPECT_EQ(e.kind(), Kind::noOutputDevice);
  }
}

TEST(ProcessTapCaptureIntegration, ServerThatGoesAwayIsReportedThroughOnStop) {
  auto pulse = std::make_unique<test::PrivatePulse>();
  if (!pulse->running()) GTEST_SKIP() << pulse->whyNot();
  TapSink sink;
  ProcessTapCaptureSource source({256});
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

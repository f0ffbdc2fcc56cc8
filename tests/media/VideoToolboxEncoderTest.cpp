#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "media/VideoToolboxEncoder.hpp"
#include "support/TestVideo.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::makeNv12Frame;
using test::splitOnStartCodes;
using Encoder = VideoToolboxEncoder;

constexpr int kW = 320;
constexpr int kH = 240;

Encoder::Config config(Wire::Codec codec = Wire::Codec::h264, int32_t fps = 10, double keyframeSeconds = 1.0,
                       int32_t bitrate = 4'000'000) {
  return Encoder::Config{kW, kH, fps, bitrate, codec, keyframeSeconds};
}

// Collects what reaches the sink.
struct Collector {
  std::mutex mutex;
  std::vector<EncodedFrame> frames;
  Encoder::Sink sink() {
    return [this](const EncodedFrame& f) {
      std::lock_guard lock(mutex);
      frames.push_back(f);
    };
  }
  std::vector<EncodedFrame> take() {
    std::lock_guard lock(mutex);
    return std::move(frames);
  }
};

std::vector<int> keyframeIndices(const std::vector<EncodedFrame>& frames) {
  std::vector<int> out;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].isKeyframe) out.push_back(static_cast<int>(i));
  }
  return out;
}

TEST(VideoEncoder, RefusesWorkBeforeStartAndBadConfigurations) {
  Encoder encoder(config());
  EXPECT_FALSE(encoder.usingHardware());
  try {
    encoder.encode(makeNv12Frame(kW, kH, 0), 1, false);
    FAIL() << "encode before start";
  } catch (const Encoder::EncoderError& e) {
    EXPECT_EQ(e.kind, Encoder::ErrorKind::notStarted);
    EXPECT_STREQ(e.what(), "notStarted");
  }
  EXPECT_EQ(encoder.applyLiveConfig(0.5f, 1'000'000, 30), Encoder::LiveConfigResult{});

  for (auto bad : {Encoder::Config{321, 240, 30, 1'000'000, Wire::Codec::h264, 1.0},
                   Encoder::Config{0, 240, 30, 1'000'000, Wire::Codec::h264, 1.0},
                   Encoder::Config{320, 240, 0, 1'000'000, Wire::Codec::hevc, 1.0},
                   Encoder::Config{320, 240, 30, 0, Wire::Codec::h264, 1.0},
                   Encoder::Config{320, 240, 30, 1'000'000, static_cast<Wire::Codec>(7), 1.0}}) {
    Encoder e(bad);
    try {
      e.start();
      FAIL() << "started with a bad configuration";
    } catch (const Encoder::EncoderError& err) {
      EXPECT_EQ(err.kind, Encoder::ErrorKind::sessionCreateFailed);
      EXPECT_STREQ(err.what(), "sessionCreateFailed(-1)");
    }
    EXPECT_THROW(e.encode(makeNv12Frame(kW, kH, 0), 1, false), Encoder::EncoderError);
  }
}

TEST(VideoEncoder, H264AccessUnitsDecodeWithoutDelayAndMatchTheInput) {
  Encoder encoder(config());
  Collector out;
  encoder.sink = out.sink();
  encoder.start();
  test::TestDecoder decoder(Wire::Codec::h264);
  ASSERT_TRUE(decoder.ready());

  for (int i = 0; i < 14; ++i) {
    const auto frame = makeNv12Frame(kW, kH, i);
    encoder.encode(frame, 1000 + static_cast<uint64_t>(i), false);
    // One access unit out for every frame in, before encode returns.
    auto got = out.take();
    ASSERT_EQ(got.size(), 1u) << "frame " << i;
    const EncodedFrame& au = got[0];
    EXPECT_EQ(au.captureTimeNs, 1000u + static_cast<uint64_t>(i));
    EXPECT_EQ(au.isKeyframe, i == 0 || i == 10) << "frame " << i;

    const auto units = splitOnStartCodes(au.data);
    ASSERT_FALSE(units.empty());
    for (const auto& unit : units) ASSERT_FALSE(unit.empty()) << "frame " << i;
    if (au.isKeyframe) {
      ASSERT_GE(units.size(), 3u);
      EXPECT_EQ(test::h264Type(units[0]), 7);
      EXPECT_EQ(units[0][1], 77) << "Main profile";
      EXPECT_EQ(test::h264Type(units[1]), 8);
      for (size_t u = 2; u < units.size(); ++u) EXPECT_EQ(test::h264Type(units[u]), 5);
    } else {
      for (const auto& unit : units) EXPECT_EQ(test::h264Type(unit), 1);
    }

    ASSERT_TRUE(decoder.decode(au.data)) << "no picture right after access unit " << i;
    const AVFrame* picture = decoder.picture();
    ASSERT_EQ(picture->width, kW);
    ASSERT_EQ(picture->height, kH);
    EXPECT_EQ(picture->color_range, AVCOL_RANGE_JPEG);
    EXPECT_EQ(picture->colorspace, AVCOL_SPC_BT709);
    EXPECT_GE(test::lumaPsnr(picture, frame->planeData(0), frame->bytesPerRow(0), kW, kH), 30.0) << "frame " << i;
  }
  encoder.finish();
  encoder.stop();
  EXPECT_THROW(encoder.encode(makeNv12Frame(kW, kH, 0), 1, false), Encoder::EncoderError);
}

TEST(VideoEncoder, KeyframesFallWhereForcedAndWhereTheIntervalFallsAlsoAfterRateChange) {
  Encoder encoder(config(Wire::Codec::h264, 10, 1.0));
  Collector out;
  encoder.sink = out.sink();
  encoder.start();
  EXPECT_EQ(encoder.keyframeIntervalFrames(), 10);

  int n = 0;
  auto run = [&](int count, std::initializer_list<int> forced) {
    for (int i = 0; i < count; ++i, ++n) {
      bool force = false;
      for (int f : forced) force = force || f == n;
      encoder.encode(makeNv12Frame(kW, kH, n), static_cast<uint64_t>(n), force);
    }
  };
  run(20, {4});  // 0 first, 4 forced, 14 a second after it
  const auto result = encoder.applyLiveConfig(std::nullopt, std::nullopt, 5);
  EXPECT_EQ(result, (Encoder::LiveConfigResult{false, false, true}));
  EXPECT_EQ(encoder.keyframeIntervalFrames(), 5);
  run(12, {});  // at 5 fps a second is 5 frames, already overdue at 20: then 25, 30
  EXPECT_EQ(keyframeIndices(out.take()), (std::vector<int>{0, 4, 14, 20, 25, 30}));
}

TEST(VideoEncoder, KeyframeIntervalBelowOneFrameMeansEveryFrame) {
  for (double seconds : {0.01, 0.0, -3.0, std::nan("")}) {
    Encoder encoder(config(Wire::Codec::h264, 30, seconds));
    Collector out;
    encoder.sink = out.sink();
    encoder.start();
    EXPECT_EQ(encoder.keyframeIntervalFrames(), 1);
    for (int i = 0; i < 3; ++i) encoder.encode(makeNv12Frame(kW, kH, i), 1, false);
    EXPECT_EQ(keyframeIndices(out.take()), (std::vector<int>{0, 1, 2})) << seconds;
  }
}

TEST(VideoEncoder, AForcedKeyframeThatWasNotDeliveredIsForcedOnTheNextFrame) {
  Encoder encoder(config(Wire::Codec::h264, 10, 100.0));
  Collector out;
  encoder.sink = out.sink();
  encoder.start();
  encoder.encode(makeNv12Frame(kW, kH, 0), 0, false);
  encoder.encode(makeNv12Frame(kW, kH, 1), 1, false);
  try {
    encoder.encode(nullptr, 2, true);
    FAIL() << "encoded a missing buffer";
  } catch (const Encoder::EncoderError& e) {
    EXPECT_EQ(e.kind, Encoder::ErrorKind::encodeFailed);
    EXPECT_STREQ(e.what(), "encodeFailed(-3)");
  }
  encoder.encode(makeNv12Frame(kW, kH, 3), 3, false);
  encoder.encode(makeNv12Frame(kW, kH, 4), 4, false);
  EXPECT_EQ(keyframeIndices(out.take()), (std::vector<int>{0, 2}));
}

// Noise costs as many bits as the cap allows.
PixelBufferRef noiseFrame(uint32_t& seed) {
  auto b = PixelBuffer::make(PixelFormat::nv12FullRange, kW, kH);
  for (int plane = 0; plane < 2; ++plane) {
    for (int64_t y = 0; y < b->planeHeight(plane); ++y) {
      uint8_t* row = b->planeData(plane) + y * b->bytesPerRow(plane);
      for (int64_t x = 0; x < b->planeWidth(plane) * (plane + 1); ++x) {
        seed = seed * 1664525 + 1013904223;
        row[x] = static_cast<uint8_t>(seed >> 24);
      }
    }
  }
  return b;
}

double meanSize(const std::vector<EncodedFrame>& frames, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(frames[i].data.size());
  return sum / double(to - from);
}

class LiveChange : public ::testing::TestWithParam<Wire::Codec> {};

TEST_P(LiveChange, BitRateDropShowsInTheOutputAndTheStreamStaysDecodable) {
  Encoder encoder(config(GetParam(), 30, 100.0, 12'000'000));
  Collector out;
  encoder.sink = out.sink();
  encoder.start();
  test::TestDecoder decoder(GetParam());
  ASSERT_TRUE(decoder.ready());
  uint32_t seed = 1;
  auto run = [&](int count) {
    for (int i = 0; i < count; ++i) encoder.encode(noiseFrame(seed), 0, false);
    auto frames = out.take();
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_TRUE(decoder.decode(frames[i].data)) << "frame " << i;
    return frames;
  };
  const auto before = run(40);
  EXPECT_EQ(encoder.applyLiveConfig(std::nullopt, 1'000'000, std::nullopt),
            (Encoder::LiveConfigResult{false, true, false}));
  const auto after = run(60);
  ASSERT_EQ(after.size(), 60u);
  const double large = meanSize(before, 10, 40);
  const double small = meanSize(after, 30, 60);
  // 1 Mbit/s at 30 fps is about 4.2 kB a frame. The wire allows 1.2 times
  // the average in a second, and noise takes all it is allowed.
  const double average = 1'000'000 / 8.0 / 30.0;
  EXPECT_LT(small, average * 1.35);
  EXPECT_GT(small, average * 1.1);
  EXPECT_GT(large, small * 3) << "before " << large << " after " << small;
}

TEST_P(LiveChange, OneCallAppliesQualityBitRateAndFrameRate) {
  Encoder encoder(config(GetParam(), 30, 1.0, 12'000'000));
  Collector out;
  encoder.sink = out.sink();
  encoder.start();
  ASSERT_EQ(encoder.keyframeIntervalFrames(), 30);
  int n = 0;
  auto run = [&](int count) {
    for (int i = 0; i < count; ++i, ++n) encoder.encode(makeNv12Frame(kW, kH, n), static_cast<uint64_t>(n), false);
  };
  run(12);
  // Quality 0 at a rate far above what the moving pattern needs: only the
  // quality can make the frames smaller.
  EXPECT_EQ(encoder.applyLiveConfig(0.0f, 2'000'000, 10), (Encoder::LiveConfigResult{true, true, true}));
  EXPECT_EQ(encoder.keyframeIntervalFrames(), 10);
  run(28);
  const auto frames = out.take();
  ASSERT_EQ(frames.size(), 40u);
  // A second at 10 fps is 10 frames, overdue at 12: then 22 and 32.
  EXPECT_EQ(keyframeIndices(frames), (std::vector<int>{0, 12, 22, 32}));
  const double fine = meanSize(frames, 1, 12);
  const double coarse = meanSize(frames, 13, 22);
  EXPECT_GT(fine, coarse * 2) << "quality 0.75: " << fine << " quality 0: " << coarse;
}

INSTANTIATE_TEST_SUITE_P(BothCodecs, LiveChange, ::testing::Values(Wire::Codec::h264, Wire::Codec::hevc),
                         [](const auto& info) { return info.param == Wire::Codec::hevc ? "hevc" : "h264"; });

// libx265 is reopened for a rate change; a burst of requests reopens it once
// at once and once more a second later, with the last request.
TEST(VideoEncoder, HevcReopensAreCoalescedToOnePerSecond) {
  std::atomic<uint64_t> now{5 * kNsPerSecond};
  Encoder encoder(config(Wire::Codec::hevc, 30, 100.0, 4'000'000), [&] { return now.load(); });
  Collector out;
  encoder.sink = out.sink();
  encoder.start();
  int n = 0;
  auto encodeOne = [&] {
    encoder.encode(makeNv12Frame(kW, kH, n), static_cast<uint64_t>(n), false);
    ++n;
    return out.take();
  };
  auto keyframes = [&](int count) {
    int seen = 0;
    for (int i = 0; i < count; ++i) {
      for (const auto& f : encodeOne()) seen += f.isKeyframe ? 1 : 0;
    }
    return seen;
  };
  EXPECT_EQ(keyframes(3), 1);  // the first frame
  EXPECT_TRUE(encoder.applyLiveConfig(std::nullopt, 2'000'000, std::nullopt).bitrate);
  EXPECT_EQ(keyframes(1), 1) << "the first change reopens at once";
  for (int32_t kbps : {1500, 1200, 900}) {
    now += 100 * kNsPerMs;
    EXPECT_TRUE(encoder.applyLiveConfig(std::nullopt, kbps * 1000, std::nullopt).bitrate);
  }
  now += 500 * kNsPerMs;
  EXPECT_EQ(keyframes(10), 0) << "no reopen within a second of the last";
  now += 500 * kNsPerMs;
  // Due now: the worker reopens while frames go on being encoded.
  int reopened = 0;
  ASSERT_TRUE(test::eventually([&] {
    reopened += keyframes(1);
    return reopened > 0;
  }));
  EXPECT_EQ(reopened, 1);
  now += 2 * kNsPerSecond;
  EXPECT_EQ(keyframes(5), 0) << "the three requests made one reopen";
}

TEST(VideoEncoder, LiveSettingsOutOfRangeAreClampedOrIgnored) {
  Encoder encoder(config());
  encoder.start();
  EXPECT_EQ(encoder.applyLiveConfig(1.7f, 0, -5), (Encoder::LiveConfigResult{true, false, false}));
  EXPECT_EQ(encoder.applyLiveConfig(-0.2f, -1, 0), (Encoder::LiveConfigResult{true, false, false}));
  EXPECT_EQ(encoder.applyLiveConfig(std::nullopt, std::nullopt, std::nullopt), Encoder::LiveConfigResult{});
  EXPECT_EQ(encoder.keyframeIntervalFrames(), 10);
}

TEST(VideoEncoder, BgraVideoRangeAndOtherSizesAreConvertedToFullRange) {
  struct Case {
    PixelBufferRef buffer;
    std::vector<uint8_t> expectedLuma;  // full range, kW x kH
  };
  std::vector<Case> cases;
  {
    // BGRA: BT.709 full-range luma of a grey ramp is the grey value.
    auto b = PixelBuffer::make(PixelFormat::bgra, kW, kH);
    std::vector<uint8_t> luma(kW * kH);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const uint8_t v = static_cast<uint8_t>((x + y) % 256);
        uint8_t* p = b->planeData(0) + y * b->bytesPerRow(0) + 4 * x;
        p[0] = p[1] = p[2] = v;
        p[3] = 255;
        luma[y * kW + x] = v;
      }
    }
    cases.push_back({b, luma});
  }
  {
    auto full = makeNv12Frame(kW, kH, 5);
    auto video = makeNv12Frame(kW, kH, 5, PixelFormat::nv12VideoRange);
    std::vector<uint8_t> luma(kW * kH);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) luma[y * kW + x] = full->planeData(0)[y * full->bytesPerRow(0) + x];
    }
    cases.push_back({video, luma});
    // Twice the size, scaled down: compare with the mean of each 2x2 block.
    auto big = makeNv12Frame(2 * kW, 2 * kH, 0);
    std::vector<uint8_t> small(kW * kH);
    const uint8_t* l = big->planeData(0);
    const int64_t s = big->bytesPerRow(0);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const int sum = l[2 * y * s + 2 * x] + l[2 * y * s + 2 * x + 1] + l[(2 * y + 1) * s + 2 * x] +
                        l[(2 * y + 1) * s + 2 * x + 1];
        small[y * kW + x] = static_cast<uint8_t>((sum + 2) / 4);
      }
    }
    cases.push_back({big, small});
  }
  for (Wire::Codec codec : {Wire::Codec::h264, Wire::Codec::hevc}) {
    for (size_t c = 0; c < cases.size(); ++c) {
      Encoder encoder(config(codec));
      Collector out;
      encoder.sink = out.sink();
      encoder.start();
      test::TestDecoder decoder(codec);
      ASSERT_TRUE(decoder.ready());
      encoder.encode(cases[c].buffer, 7, false);
      auto got = out.take();
      ASSERT_EQ(got.size(), 1u);
      ASSERT_TRUE(decoder.decode(got[0].data));
      EXPECT_GE(test::lumaPsnr(decoder.picture(), cases[c].expectedLuma.data(), kW, kW, kH), 28.0)
          << "case " << c << " codec " << int(codec);
    }
  }
}

TEST(VideoEncoder, HevcKeyframesCarryVpsSpsPpsAndDecodeWithoutDelay) {
  Encoder encoder(config(Wire::Codec::hevc, 10, 0.5));
  Collector out;
  encoder.sink = out.sink();
  encoder.start();
  EXPECT_EQ(encoder.codec(), Wire::Codec::hevc);
  test::TestDecoder decoder(Wire::Codec::hevc);
  ASSERT_TRUE(decoder.ready());
  for (int i = 0; i < 8; ++i) {
    const auto frame = makeNv12Frame(kW, kH, i);
    encoder.encode(frame, static_cast<uint64_t>(i), i == 2);
    auto got = out.take();
    ASSERT_EQ(got.size(), 1u);
    const bool keyframe = i == 0 || i == 2 || i == 7;
    EXPECT_EQ(got[0].isKeyframe, keyframe) << "frame " << i;
    const auto units = splitOnStartCodes(got[0].data);
    ASSERT_FALSE(units.empty());
    if (keyframe) {
      ASSERT_GE(units.size(), 4u);
      EXPECT_EQ(test::hevcType(units[0]), 32);
      EXPECT_EQ(test::hevcType(units[1]), 33);
      EXPECT_EQ(test::hevcType(units[2]), 34);
      EXPECT_TRUE(test::hevcType(units[3]) == 19 || test::hevcType(units[3]) == 20);
    } else {
      for (const auto& unit : units) EXPECT_LT(test::hevcType(unit), 32);
    }
    ASSERT_TRUE(decoder.decode(got[0].data)) << "no picture right after access unit " << i;
    EXPECT_GE(test::lumaPsnr(decoder.picture(), frame->planeData(0), frame->bytesPerRow(0), kW, kH), 30.0);
  }
}

TEST(VideoEncoder, ReconfigurationFromAnotherThreadWhileEncodingLosesNothing) {
  Encoder encoder(config(Wire::Codec::h264, 30, 1.0));
  test::EventCounter delivered;
  encoder.sink = [&](const EncodedFrame&) { delivered.add(); };
  encoder.start();
  std::atomic<bool> done{false};
  std::thread pacer([&] {
    for (int i = 0; i < 40; ++i) encoder.encode(makeNv12Frame(kW, kH, i), static_cast<uint64_t>(i), i % 9 == 0);
    done = true;
  });
  int round = 0;
  while (!done) {
    encoder.applyLiveConfig(static_cast<float>(round % 10) / 10.0f, 1'000'000 + 100'000 * (round % 20), 20 + round % 20);
    encoder.finish();
    ++round;
  }
  pacer.join();
  encoder.stop();
  EXPECT_EQ(delivered.count(), 40);
}

TEST(VideoEncoder, StopFromAnotherThreadWaitsForTheFrameInFlightAndLaterEncodesThrow) {
  Encoder encoder(config(Wire::Codec::h264, 30, 1.0));
  test::EventCounter delivered;
  std::atomic<bool> stopReturned{false};
  std::atomic<bool> deliveredAfterStop{false};
  encoder.sink = [&](const EncodedFrame&) {
    if (stopReturned.load()) deliveredAfterStop = true;
    delivered.add();
  };
  encoder.start();
  std::atomic<bool> endedNotStarted{false};
  std::thread pacer([&] {
    const auto frame = makeNv12Frame(kW, kH, 0);
    for (int i = 0; i < 100'000; ++i) {
      try {
        encoder.encode(frame, static_cast<uint64_t>(i), false);
      } catch (const Encoder::EncoderError& e) {
        endedNotStarted = e.kind == Encoder::ErrorKind::notStarted;
        return;
      }
    }
  });
  ASSERT_TRUE(delivered.waitFor(5));
  encoder.finish();
  encoder.stop();
  stopReturned = true;
  pacer.join();
  EXPECT_TRUE(endedNotStarted);
  EXPECT_FALSE(deliveredAfterStop);
}

}  // namespace
}  // namespace lumenrail

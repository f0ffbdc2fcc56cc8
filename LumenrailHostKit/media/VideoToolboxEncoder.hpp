#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "media/CodecSession.hpp"
#include "media/EncoderInput.hpp"
#include "media/PixelBuffer.hpp"
#include "media/VideoEncoder.hpp"
#include "platform/Clock.hpp"
#include "wire/EncodedFrame.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

// Turns pixel buffers into H.264 or HEVC access units for the wire, tuned for
// the lowest latency: no B-frames, no lookahead, one access unit out for each
// frame in, delivered to `sink` before `encode` returns (on the caller's
// thread, in encode order). Keyframes carry the parameter sets in front, and
// the H.264 SPS is rewritten so a decoder may show every frame at once.
// Software encoding (x264, x265): `usingHardware()` is always false.
class VideoToolboxEncoder final : public VideoEncoder {
 public:

  // Status codes carried by the errors.
  static constexpr int32_t kStatusBadParameter = -1;
  static constexpr int32_t kStatusLibraryRefused = -2;
  static constexpr int32_t kStatusNoBuffer = -3;
  static constexpr int32_t kStatusConversionFailed = -4;
  static constexpr int32_t kStatusEncodeFailed = -5;

  enum class ErrorKind : uint8_t { sessionCreateFailed, encodeFailed, notStarted };

  class EncoderError : public std::exception {
   public:
    EncoderError(ErrorKind kind, int32_t status);
    ErrorKind kind;
    int32_t status;  // 0 for notStarted
    const char* what() const noexcept override { return text_.c_str(); }

   private:
    std::string text_;
  };

  static constexpr float kDefaultQuality = 0.75f;

  // The sizes and rates a session can be started with: even sides of 16 to
  // PixelBuffer::kMaxDimension, 1 to 1000 fps.
  static bool fits(int64_t width, int64_t height, int64_t fps);

  // `nowNs` times the coalescing of HEVC reopens (uptime clock by default).
  explicit VideoToolboxEncoder(Config config, NowNs nowNs = {});
  ~VideoToolboxEncoder() override;
  VideoToolboxEncoder(const VideoToolboxEncoder&) = delete;
  VideoToolboxEncoder& operator=(const VideoToolboxEncoder&) = delete;

  // Throws EncoderError(sessionCreateFailed) and stays without a session.
  void start() override;
  // Throws notStarted without a session and encodeFailed when the frame is
  // refused; a keyframe asked for and not delivered is forced on the next frame.
  void encode(const PixelBufferRef& buffer, uint64_t captureTimeNs, bool forceKeyframe) override;
  // Quality is clamped to 0..1; a bit rate or frame rate of 0 or less is left
  // alone. The given settings reach the library as one change. A new frame
  // rate always takes effect here (keyframe interval, rate budget), even when
  // the library refuses the rate change it brings. HEVC changes reopen the
  // library: at most once a second, on this thread when due now (so call it
  // off the encoding thread), otherwise later on a worker; frames keep
  // being encoded meanwhile.
  LiveConfigResult applyLiveConfig(std::optional<float> quality, std::optional<int32_t> bitrateBps,
                                   std::optional<int32_t> fps) override;
  // Returns once every submitted frame has reached `sink`; stays started.
  void finish() override;
  // Finishes, then drops the session; encode afterwards throws notStarted.
  void stop() override;

  const Config& config() const { return config_; }
  Wire::Codec codec() const override { return config_.codec; }
  bool usingHardware() const override { return false; }
  // Frames from one keyframe to the next at the current frame rate.
  int64_t keyframeIntervalFrames() const;

  // `sink` runs on the thread that called encode, with the delivery lock held
  // so that finish() and stop() can wait for a frame in flight: calling
  // encode(), finish(), stop() or the destructor from inside `sink` deadlocks.
  // applyLiveConfig() takes only the session lock briefly and may be called
  // from `sink`, though an HEVC change then reopens on the encoding thread.

 private:
  static int64_t intervalFrames(double seconds, int64_t fps);
  CodecRate rateFor(float quality, int64_t bitrateBps, int64_t liveFps) const;

  const Config config_;
  // Held across encode and delivery so finish and stop wait for a frame in flight.
  std::mutex deliveryMutex_;
  // Guards the session and every call into the codec library.
  mutable std::mutex sessionMutex_;
  // Shared so a live change can run outside the lock while stop() drops it.
  std::shared_ptr<CodecSession> session_;
  NowNs nowNs_;
  std::unique_ptr<EncoderInput> input_;
  float quality_ = kDefaultQuality;
  int64_t bitrateBps_ = 0;
  int64_t liveFps_ = 0;
  int64_t intervalFrames_ = 1;
  int64_t framesSinceKeyframe_ = 0;
  bool keyframeOwed_ = true;
  int64_t nextPts_ = 0;
  // Guarded by deliveryMutex_: handed to `sink` by reference.
  EncodedFrame output_;
};

}  // namespace lumenrail

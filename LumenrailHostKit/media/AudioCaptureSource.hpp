#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "media/AudioSampleBuffer.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"

namespace lumenrail {

// Captures system audio from the monitor of the sound server's default sink
// with the blocking PulseAudio API on a capture thread of its own, and hands
// every buffer (interleaved 32-bit float, about 10 ms) with its delivery
// time to `onPCM`.
class AudioCaptureSource final {
 public:
  struct Config {
    int64_t sampleRate = 48000;
    int64_t channels = 2;
    // The sound server mixes every display's audio into one sink; kept so the
    // owner's choice of display is still visible here.
    uint32_t targetDisplayID = 0;

    bool operator==(const Config&) const = default;
  };

  class CaptureError final : public std::exception {
   public:
    enum class Kind {
      noDisplays,     // the server has no sink whose monitor could be captured
      invalidFormat,  // rate or channel count the server cannot carry
      streamFailed,   // the connection or the record stream failed
      startTimedOut,  // the server did not answer within the start wait
    };
    CaptureError(Kind kind, std::string detail);
    Kind kind() const { return kind_; }
    const char* what() const noexcept override { return text_.c_str(); }

   private:
    Kind kind_;
    std::string text_;
  };

  static constexpr uint64_t kStartWaitNs = 8'000'000'000;
  static constexpr uint64_t kStopWaitNs = 5'000'000'000;

  explicit AudioCaptureSource(Config config, NowNs nowNs = uptimeNs);
  // Stops, as stop() does.
  ~AudioCaptureSource();
  AudioCaptureSource(const AudioCaptureSource&) = delete;
  AudioCaptureSource& operator=(const AudioCaptureSource&) = delete;

  // Set before start(), not changed while running. `onPCM` runs on the
  // capture thread; `onStop` is told when the server ends the capture.
  std::function<void(const AudioSampleBuffer&, uint64_t)> onPCM;
  std::function<void(std::optional<std::string>)> onStop;
  Log::Sink log = [](const std::string& line) { Log::line(line); };
  // The server to use; empty means the user's default server.
  std::string server;

  // Returns once the stream runs; throws CaptureError. A stream that comes up
  // only after the wait gave up is closed at once by the capture thread.
  void start(uint64_t timeoutNs = kStartWaitNs);
  // No buffer reaches `onPCM` after this returns; waits up to `timeoutNs` for
  // the capture thread. Harmless when not running or called twice.
  void stop(uint64_t timeoutNs = kStopWaitNs);

  bool running() const;
  const Config& config() const { return config_; }
  // Buffers delivered since construction.
  int64_t captureLatencyCount() const;

  // State the capture thread shares with its owner (and keeps alive when a
  // wedged server outlives stop()).
  struct Shared;

 private:
  Config config_;
  NowNs nowNs_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<std::atomic<int64_t>> latencyCount_ = std::make_shared<std::atomic<int64_t>>(0);
  NamedThread thread_;
};

}  // namespace lumenrail

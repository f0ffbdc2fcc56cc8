#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "media/AudioSampleBuffer.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/SerialQueue.hpp"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace lumenrail {

// Captures system audio with the asynchronous PulseAudio API: a record
// stream of its own on the default sink's monitor (stereo 32-bit float at the
// sink's rate), read on the sound server's event thread and handed to
// `onPCM` stamped with the uptime clock. Watches the default sink and reports
// a change through `onStop`, so the owner rebuilds the capture.
class ProcessTapCaptureSource final {
 public:
  struct Config {
    // Fragment size asked of the server, in frames.
    uint32_t bufferFrames = 256;
    bool operator==(const Config&) const = default;
  };

  class CaptureError final : public std::exception {
   public:
    enum class Kind {
      tapCreationFailed,        // no connection to the sound server
      noOutputDevice,           // no default sink, or its details cannot be read
      aggregateCreationFailed,  // the record stream cannot be created
      formatUnavailable,        // the stream has no usable sample format
      ioProcFailed,             // the stream cannot be connected to the monitor
      startFailed,              // the stream did not come up
    };
    CaptureError(Kind kind, int32_t status);
    Kind kind() const { return kind_; }
    int32_t status() const { return status_; }
    const char* what() const noexcept override { return text_.c_str(); }

   private:
    Kind kind_;
    int32_t status_;
    std::string text_;
  };

  static constexpr uint64_t kStartWaitNs = 8'000'000'000;

  explicit ProcessTapCaptureSource(Config config, NowNs nowNs = uptimeNs);
  // Stops, as stop() does.
  ~ProcessTapCaptureSource();
  ProcessTapCaptureSource(const ProcessTapCaptureSource&) = delete;
  ProcessTapCaptureSource& operator=(const ProcessTapCaptureSource&) = delete;

  // Set before start(). `onPCM` runs on the server's event thread and must
  // neither block nor call stop(); `onStop` runs on the queue
  // "quillmark.lumenrail.tap.listener" and may call stop().
  std::function<void(const AudioSampleBuffer&, uint64_t)> onPCM;
  std::function<void(std::optional<std::string>)> onStop;
  Log::Sink log = [](const std::string& line) { Log::line(line); };
  // The server to use; empty means the user's default server.
  std::string server;

  // Throws CaptureError after tearing down whatever it built. Each server
  // round trip waits at most until `timeoutNs` after the call.
  void start(uint64_t timeoutNs = kStartWaitNs);
  // No buffer reaches `onPCM` and no `onStop` is called after this returns.
  // Safe at any time and more than once.
  void stop();

  int64_t captureLatencyCount() const { return captureLatencyCount_; }
  bool sawAudio() const { return sawAudio_; }
  // True for 32-bit float buffers whose every sample is within ±0.0001;
  // other formats count as audio.
  static bool isSilent(const AudioSampleBuffer& buffer);

 private:
  static void contextStateChanged(pa_context* context, void* self);
  static void streamStateChanged(pa_stream* stream, void* self);
  static void streamReadable(pa_stream* stream, size_t bytes, void* self);

  bool waitUntil(const std::function<bool()>& ready, uint64_t deadlineNs);
  void createTap(uint64_t deadlineNs);
  void defaultOutputDevice(uint64_t deadlineNs);
  void createAggregate();
  void readStreamFormat();
  void startIOProc(uint64_t deadlineNs);
  void setBufferFrameSize();
  // Returns once the server has taken the subscription (or the deadline passed).
  void watchDefaultOutputDevice(uint64_t deadlineNs);
  static void checkDefaultOutputDevice(pa_context* context, void* self);
  void unwatchDefaultOutputDevice();
  void teardown();
  void handle(const void* data, size_t bytes);
  void reportCaptureLatency(const AudioSampleBuffer& buffer, int64_t frames, uint64_t capturedNs, uint64_t deliveredNs);
  void reportStop(std::optional<std::string> error);

  Config config_;
  NowNs nowNs_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  std::optional<AudioStreamFormat> format_;
  std::string sinkName_;
  std::string monitorName_;
  uint32_t sinkRate_ = 0;
  std::atomic<int64_t> captureLatencyCount_{0};
  std::atomic<bool> sawAudio_{false};

  // Answers from the server's event thread to start().
  std::mutex replyMutex_;
  std::condition_variable replyCv_;
  int contextState_ = 0;
  int streamState_ = 0;
  bool replied_ = false;
  bool replyFailed_ = false;

  // Guards the listener's calls against stop(); recursive so that `onStop`
  // may stop the source it is told about.
  std::recursive_mutex listenerMutex_;
  bool watching_ = false;
  std::string watchedDefault_;
  // Declared last: destroyed first, while what its tasks touch still exists.
  SerialQueue listenerQueue_{"quillmark.lumenrail.tap.listener"};
};

}  // namespace lumenrail

#pragma once

// Times each frame of a real serving session (M2Pipeline) at the points
// where it changes hands, without changing the session: a desktop that hands
// the session the real capture and encoder of another desktop, each wrapped
// so that it notes the time of the copied frame, of the encode call on the
// pacer thread and of the access unit at the sink; and, as an outside timing
// would, the grab itself (the MIT-SHM request and its reply) and the
// PipeWire buffer's arrival, seen by interposing those library calls. Every
// time is keyed by the frame's capture time, which is also its wire ticks,
// so the loopback client's last byte joins it.
//
// The interposed functions are defined in this header: include it in one
// program only.

#include <dlfcn.h>
#include <xcb/shm.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "desktop/DesktopEnvironment.hpp"
#include "platform/Clock.hpp"

namespace lumenrail::bench {

// Stamped by the interposed calls on the thread that makes them: the capture
// thread (X11) or PipeWire's loop thread (GNOME), which then hands the frame on.
struct ThreadStamps {
  uint64_t grabNs = 0;     // ShmGetImage sent, or the first buffer of a PipeWire wake dequeued
  uint64_t grabbedNs = 0;  // its reply in (X11)
  bool batchOpen = false;  // PipeWire: buffers are being dequeued in one go
};
inline thread_local ThreadStamps stamps;

struct FrameTimes {
  uint64_t grabNs = 0;
  uint64_t grabbedNs = 0;
  uint64_t capturedNs = 0;
  uint64_t encodeNs = 0;
  uint64_t encodedNs = 0;
};

class Timeline {
 public:
  // The frames of the last few seconds are kept.
  static constexpr size_t kKept = 4096;

  void captured(uint64_t capturedNs) {
    std::lock_guard lock(mutex_);
    FrameTimes& t = frames_[capturedNs];
    t.grabNs = stamps.grabNs;
    t.grabbedNs = stamps.grabbedNs;
    t.capturedNs = capturedNs;
    ++capturedCount_;
    if (frames_.size() > kKept) frames_.erase(frames_.begin());
  }
  // Re-emits of a still screen carry a capture time no grab had: not followed.
  void encoding(uint64_t capturedNs) {
    const uint64_t now = uptimeNs();
    std::lock_guard lock(mutex_);
    if (auto it = frames_.find(capturedNs); it != frames_.end() && it->second.encodeNs == 0) it->second.encodeNs = now;
  }
  void encoded(uint64_t capturedNs) {
    const uint64_t now = uptimeNs();
    std::lock_guard lock(mutex_);
    if (auto it = frames_.find(capturedNs); it != frames_.end() && it->second.encodedNs == 0) it->second.encodedNs = now;
  }
  std::optional<FrameTimes> frame(uint64_t capturedNs) {
    std::lock_guard lock(mutex_);
    const auto it = frames_.find(capturedNs);
    if (it == frames_.end()) return std::nullopt;
    return it->second;
  }
  uint64_t capturedCount() {
    std::lock_guard lock(mutex_);
    return capturedCount_;
  }

  // Copies of the next `n` frames the encoder is given, for the raw-library
  // reference; taken after the encode, so the frame's own times hold no copy.
  void keepFrames(size_t n) { keepLeft_ = n; }
  void maybeKeep(const PixelBuffer& frame) {
    if (keepLeft_.load() == 0) return;
    --keepLeft_;
    auto copy = PixelBuffer::make(frame.format(), frame.width(), frame.height());
    if (!copy) return;
    for (int p = 0; p < frame.planeCount(); ++p) {
      for (int64_t y = 0; y < frame.planeHeight(p); ++y) {
        std::memcpy(copy->planeData(p) + y * copy->bytesPerRow(p), frame.planeData(p) + y * frame.bytesPerRow(p),
                    size_t(std::min(frame.bytesPerRow(p), copy->bytesPerRow(p))));
      }
    }
    std::lock_guard lock(mutex_);
    kept_.push_back(std::move(copy));
  }
  std::vector<PixelBufferRef> keptFrames() {
    std::lock_guard lock(mutex_);
    return kept_;
  }

 private:
  std::mutex mutex_;
  std::map<uint64_t, FrameTimes> frames_;
  uint64_t capturedCount_ = 0;
  std::atomic<size_t> keepLeft_{0};
  std::vector<PixelBufferRef> kept_;
};

class TimedCapture final : public CaptureSource {
 public:
  TimedCapture(std::shared_ptr<CaptureSource> inner, std::shared_ptr<Timeline> timeline)
      : inner_(std::move(inner)), timeline_(std::move(timeline)) {}

  void start() override {
    inner_->onFrame = [timeline = timeline_, handler = onFrame](const PixelBufferRef& frame, uint64_t capturedNs) {
      timeline->captured(capturedNs);
      if (handler) handler(frame, capturedNs);
    };
    inner_->onStop = onStop;
    inner_->log = log;
    inner_->start();
  }
  void stop() override { inner_->stop(); }
  PixelBufferRef captureOneShot() override { return inner_->captureOneShot(); }
  std::optional<uint64_t> probeContentHash() override { return inner_->probeContentHash(); }
  uint64_t lastDeliveryNs() const override { return inner_->lastDeliveryNs(); }
  uint64_t deliveryCount() const override { return inner_->deliveryCount(); }

 private:
  const std::shared_ptr<CaptureSource> inner_;
  const std::shared_ptr<Timeline> timeline_;
};

class TimedEncoder final : public VideoEncoder {
 public:
  TimedEncoder(std::shared_ptr<VideoEncoder> inner, std::shared_ptr<Timeline> timeline)
      : inner_(std::move(inner)), timeline_(std::move(timeline)) {}

  void start() override {
    inner_->sink = [this](const EncodedFrame& frame) {
      timeline_->encoded(frame.captureTimeNs);
      if (sink) sink(frame);
    };
    inner_->start();
  }
  void encode(const PixelBufferRef& buffer, uint64_t captureTimeNs, bool forceKeyframe) override {
    timeline_->encoding(captureTimeNs);
    inner_->encode(buffer, captureTimeNs, forceKeyframe);
    if (buffer) timeline_->maybeKeep(*buffer);
  }
  LiveConfigResult applyLiveConfig(std::optional<float> quality, std::optional<int32_t> bitrateBps,
                                   std::optional<int32_t> fps) override {
    return inner_->applyLiveConfig(quality, bitrateBps, fps);
  }
  void finish() override { inner_->finish(); }
  void stop() override { inner_->stop(); }
  Wire::Codec codec() const override { return inner_->codec(); }
  bool usingHardware() const override { return inner_->usingHardware(); }

 private:
  const std::shared_ptr<VideoEncoder> inner_;
  const std::shared_ptr<Timeline> timeline_;
};

// Another desktop's services, the capture and the main encoder timed. The
// benchmark posts no input through the session: it has no sink.
class TimedDesktop final : public DesktopEnvironment {
 public:
  TimedDesktop(std::shared_ptr<DesktopEnvironment> inner, std::shared_ptr<Timeline> timeline)
      : inner_(std::move(inner)), timeline_(std::move(timeline)) {}

  std::shared_ptr<CaptureSource> makeCapture(const CaptureRequest& request) override {
    return std::make_shared<TimedCapture>(inner_->makeCapture(request), timeline_);
  }
  std::shared_ptr<VideoEncoder> makeEncoder(const VideoEncoder::Config& config) override {
    return std::make_shared<TimedEncoder>(inner_->makeEncoder(config), timeline_);
  }
  std::shared_ptr<DisplayConfiguration> openDisplays() override { return inner_->openDisplays(); }
  std::shared_ptr<SystemAudioSource> makeAudio(SystemAudioRoute, const AudioRequest&, const Log::Sink&) override {
    return nullptr;
  }
  std::shared_ptr<InputEventSink> makeInputSink(const Log::Sink&) override { return nullptr; }
  std::shared_ptr<WindowActivator> makeWindowActivator() override { return nullptr; }
  std::shared_ptr<ForegroundAppSource> makeForegroundSource() override { return inner_->makeForegroundSource(); }
  std::unique_ptr<KeyboardLayoutSource> makeKeyboardLayout() override { return nullptr; }
  double mainDisplayRefreshHz() override { return 60.0; }
  bool mayPostInput() override { return false; }
  NoInput whyNoInput() override { return {"the benchmark posts no input", ""}; }
  std::shared_ptr<SleepAssertion> makeDisplayAwake(const std::string& reason) override {
    return inner_->makeDisplayAwake(reason);
  }
  std::shared_ptr<HostPermissions::Probe> makePermissionProbe() override { return inner_->makePermissionProbe(); }
  void cutConnections() override { inner_->cutConnections(); }

 private:
  const std::shared_ptr<DesktopEnvironment> inner_;
  const std::shared_ptr<Timeline> timeline_;
};

}  // namespace lumenrail::bench

// ---- the interposed library calls ------------------------------------------------

extern "C" {

struct pw_stream;
struct pw_buffer;

xcb_shm_get_image_cookie_t xcb_shm_get_image(xcb_connection_t* c, xcb_drawable_t drawable, int16_t x, int16_t y,
                                             uint16_t width, uint16_t height, uint32_t planeMask, uint8_t format,
                                             xcb_shm_seg_t shmseg, uint32_t offset) {
  using Fn = xcb_shm_get_image_cookie_t (*)(xcb_connection_t*, xcb_drawable_t, int16_t, int16_t, uint16_t, uint16_t,
                                            uint32_t, uint8_t, xcb_shm_seg_t, uint32_t);
  static const Fn next = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "xcb_shm_get_image"));
  lumenrail::bench::stamps.grabNs = lumenrail::uptimeNs();
  return next(c, drawable, x, y, width, height, planeMask, format, shmseg, offset);
}

xcb_shm_get_image_reply_t* xcb_shm_get_image_reply(xcb_connection_t* c, xcb_shm_get_image_cookie_t cookie,
                                                   xcb_generic_error_t** e) {
  using Fn = xcb_shm_get_image_reply_t* (*)(xcb_connection_t*, xcb_shm_get_image_cookie_t, xcb_generic_error_t**);
  static const Fn next = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "xcb_shm_get_image_reply"));
  xcb_shm_get_image_reply_t* reply = next(c, cookie, e);
  lumenrail::bench::stamps.grabbedNs = lumenrail::uptimeNs();
  return reply;
}

// The stream's process callback dequeues until nothing is left: the first
// buffer of such a run is when the frame arrived.
pw_buffer* pw_stream_dequeue_buffer(pw_stream* stream) {
  using Fn = pw_buffer* (*)(pw_stream*);
  static const Fn next = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "pw_stream_dequeue_buffer"));
  const uint64_t now = lumenrail::uptimeNs();
  pw_buffer* buffer = next(stream);
  auto& s = lumenrail::bench::stamps;
  if (buffer != nullptr && !s.batchOpen) {
    s.grabNs = now;
    s.grabbedNs = now;
  }
  s.batchOpen = buffer != nullptr;
  return buffer;
}

}  // extern "C"

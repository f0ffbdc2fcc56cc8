#include "media/ProcessTapCaptureSource.hpp"

#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace lumenrail {

namespace {

const char* kindName(ProcessTapCaptureSource::CaptureError::Kind kind) {
  using Kind = ProcessTapCaptureSource::CaptureError::Kind;
  switch (kind) {
    case Kind::tapCreationFailed: return "tapCreationFailed";
    case Kind::noOutputDevice: return "noOutputDevice";
    case Kind::aggregateCreationFailed: return "aggregateCreationFailed";
    case Kind::formatUnavailable: return "formatUnavailable";
    case Kind::ioProcFailed: return "ioProcFailed";
    case Kind::startFailed: return "startFailed";
  }
  return "unknown";
}

constexpr uint32_t kTapChannels = 2;
constexpr uint32_t kBytesPerFrame = kTapChannels * 4;

// Holds the event loop's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

}  // namespace

ProcessTapCaptureSource::CaptureError::CaptureError(Kind kind, int32_t status)
    : kind_(kind), status_(status), text_(std::string(kindName(kind)) + "(" + std::to_string(status) + ")") {}

ProcessTapCaptureSource::ProcessTapCaptureSource(Config config, NowNs nowNs)
    : config_(config), nowNs_(nowNs ? std::move(nowNs) : NowNs(uptimeNs)) {}

ProcessTapCaptureSource::~ProcessTapCaptureSource() { stop(); }

bool ProcessTapCaptureSource::waitUntil(const std::function<bool()>& ready, uint64_t deadlineNs) {
  std::unique_lock lock(replyMutex_);
  const uint64_t now = uptimeNs();
  if (now >= deadlineNs) return ready();
  return replyCv_.wait_for(lock, std::chrono::nanoseconds(deadlineNs - now), ready);
}

void ProcessTapCaptureSource::start(uint64_t timeoutNs) {
  if (loop_ != nullptr) return;
  const uint64_t deadline = uptimeNs() + timeoutNs;
  try {
    createTap(deadline);
    defaultOutputDevice(deadline);
    createAggregate();
    readStreamFormat();
    startIOProc(deadline);
    setBufferFrameSize();
  } catch (...) {
    teardown();
    throw;
  }
  watchDefaultOutputDevice(deadline);
}

void ProcessTapCaptureSource::contextStateChanged(pa_context* context, void* self) {
  auto* me = static_cast<ProcessTapCaptureSource*>(self);
  const pa_context_state_t state = pa_context_get_state(context);
  {
    std::lock_guard lock(me->replyMutex_);
    me->contextState_ = state;
    me->replyCv_.notify_all();
  }
  if (state == PA_CONTEXT_FAILED) me->reportStop(std::string(pa_strerror(pa_context_errno(context))));
}

void ProcessTapCaptureSource::streamStateChanged(pa_stream* stream, void* self) {
  auto* me = static_cast<ProcessTapCaptureSource*>(self);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  {
    std::lock_guard lock(me->replyMutex_);
    me->streamState_ = state;
    me->replyCv_.notify_all();
  }
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    me->reportStop(std::string(pa_strerror(pa_context_errno(pa_stream_get_context(stream)))));
  }
}

void ProcessTapCaptureSource::createTap(uint64_t deadlineNs) {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) throw CaptureError(CaptureError::Kind::tapCreationFailed, -PA_ERR_INTERNAL);
  {
    LoopLock lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Lumenrail system audio");
    if (context_ == nullptr) throw CaptureError(CaptureError::Kind::tapCreationFailed, -PA_ERR_INTERNAL);
    pa_context_set_state_callback(context_, contextStateChanged, this);
    if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      throw CaptureError(CaptureError::Kind::tapCreationFailed, -pa_context_errno(context_));
    }
  }
  if (pa_threaded_mainloop_start(loop_) < 0) throw CaptureError(CaptureError::Kind::tapCreationFailed, -PA_ERR_INTERNAL);
  const bool answered = waitUntil(
      [this] {
        return contextState_ == PA_CONTEXT_READY || contextState_ == PA_CONTEXT_FAILED ||
               contextState_ == PA_CONTEXT_TERMINATED;
      },
      deadlineNs);
  if (!answered) throw CaptureError(CaptureError::Kind::tapCreationFailed, -PA_ERR_TIMEOUT);
  if (contextState_ != PA_CONTEXT_READY) {
    LoopLock lock(loop_);
    throw CaptureError(CaptureError::Kind::tapCreationFailed, -pa_context_errno(context_));
  }
}

void ProcessTapCaptureSource::defaultOutputDevice(uint64_t deadlineNs) {
  {
    std::lock_guard lock(replyMutex_);
    replied_ = replyFailed_ = false;
  }
  {
    LoopLock lock(loop_);
    pa_operation* op = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* self) {
          auto* me = static_cast<ProcessTapCaptureSource*>(self);
          std::lock_guard reply(me->replyMutex_);
          me->sinkName_ = info != nullptr && info->default_sink_name != nullptr ? info->default_sink_name : "";
          me->replied_ = true;
          me->replyCv_.notify_all();
        },
        this);
    if (op == nullptr) throw CaptureError(CaptureError::Kind::noOutputDevice, -pa_context_errno(context_));
    pa_operation_unref(op);
  }
  if (!waitUntil([this] { return replied_; }, deadlineNs)) {
    throw CaptureError(CaptureError::Kind::noOutputDevice, -PA_ERR_TIMEOUT);
  }
  if (sinkName_.empty()) throw CaptureError(CaptureError::Kind::noOutputDevice, -PA_ERR_NOENTITY);

  {
    std::lock_guard lock(replyMutex_);
    replied_ = replyFailed_ = false;
  }
  {
    LoopLock lock(loop_);
    pa_operation* op = pa_context_get_sink_info_by_name(
        context_, sinkName_.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* self) {
          auto* me = static_cast<ProcessTapCaptureSource*>(self);
          std::lock_guard reply(me->replyMutex_);
          if (info != nullptr) {
            me->monitorName_ = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
            me->sinkRate_ = info->sample_spec.rate;
          } else if (eol < 0) {
            me->replyFailed_ = true;
          }
          if (eol != 0) {
            me->replied_ = true;
            me->replyCv_.notify_all();
          }
        },
        this);
    if (op == nullptr) throw CaptureError(CaptureError::Kind::noOutputDevice, -pa_context_errno(context_));
    pa_operation_unref(op);
  }
  if (!waitUntil([this] { return replied_; }, deadlineNs)) {
    throw CaptureError(CaptureError::Kind::noOutputDevice, -PA_ERR_TIMEOUT);
  }
  if (replyFailed_ || monitorName_.empty()) throw CaptureError(CaptureError::Kind::noOutputDevice, -PA_ERR_NOENTITY);
}

void ProcessTapCaptureSource::createAggregate() {
  LoopLock lock(loop_);
  // Stereo float at the sink's own rate: the server need not resample.
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, sinkRate_, static_cast<uint8_t>(kTapChannels)};
  if (!pa_sample_spec_valid(&sampleSpec)) throw CaptureError(CaptureError::Kind::formatUnavailable, 0);
  stream_ = pa_stream_new(context_, "Lumenrail Audio Tap", &sampleSpec, nullptr);
  if (stream_ == nullptr) throw CaptureError(CaptureError::Kind::aggregateCreationFailed, -pa_context_errno(context_));
  pa_stream_set_state_callback(stream_, streamStateChanged, this);
  pa_stream_set_read_callback(stream_, streamReadable, this);
}

void ProcessTapCaptureSource::readStreamFormat() {
  LoopLock lock(loop_);
  const pa_sample_spec* sampleSpec = pa_stream_get_sample_spec(stream_);
  if (sampleSpec == nullptr || sampleSpec->rate == 0) throw CaptureError(CaptureError::Kind::formatUnavailable, 0);
  format_ = AudioStreamFormat::float32Interleaved(sampleSpec->rate, sampleSpec->channels);
}

void ProcessTapCaptureSource::startIOProc(uint64_t deadlineNs) {
  {
    LoopLock lock(loop_);
    pa_buffer_attr attr{};
    // One second of audio at most waits in the server for us.
    attr.maxlength = static_cast<uint32_t>(format_->sampleRate) * kBytesPerFrame;
    attr.fragsize = config_.bufferFrames * kBytesPerFrame;
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    if (pa_stream_connect_record(stream_, monitorName_.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
      throw CaptureError(CaptureError::Kind::ioProcFailed, -pa_context_errno(context_));
    }
  }
  const bool answered = waitUntil(
      [this] {
        return streamState_ == PA_STREAM_READY || streamState_ == PA_STREAM_FAILED ||
               streamState_ == PA_STREAM_TERMINATED;
      },
      deadlineNs);
  if (!answered) throw CaptureError(CaptureError::Kind::startFailed, -PA_ERR_TIMEOUT);
  if (streamState_ != PA_STREAM_READY) {
    LoopLock lock(loop_);
    throw CaptureError(CaptureError::Kind::startFailed, -pa_context_errno(context_));
  }
}

void ProcessTapCaptureSource::setBufferFrameSize() {
  uint32_t granted = 0;
  {
    LoopLock lock(loop_);
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream_);
    if (attr != nullptr) granted = attr->fragsize / kBytesPerFrame;
  }
  if (granted != config_.bufferFrames && log) {
    log("[audio] tap io buffer: asked " + std::to_string(config_.bufferFrames) + " frames, got " +
        std::to_string(granted));
  }
}

void ProcessTapCaptureSource::streamReadable(pa_stream* stream, size_t, void* self) {
  auto* me = static_cast<ProcessTapCaptureSource*>(self);
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    if (data != nullptr) me->handle(data, bytes);  // a hole (no data) is skipped
    pa_stream_drop(stream);
  }
}

void ProcessTapCaptureSource::handle(const void* data, size_t bytes) {
  if (!format_ || !onPCM) return;
  const int64_t frames = static_cast<int64_t>(bytes / kBytesPerFrame);
  if (frames == 0) return;
  const uint64_t delivered = nowNs_();
  // The first frame was captured the stream's latency plus the fragment's
  // own length before now.
  pa_usec_t latencyUs = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream_, &latencyUs, &negative) < 0 || negative) latencyUs = 0;
  const uint64_t back =
      latencyUs * 1000 + static_cast<uint64_t>(frames) * 1'000'000'000ull / static_cast<uint64_t>(format_->sampleRate);
  const uint64_t captured = delivered > back ? delivered - back : 0;

  AudioSampleBuffer buffer;
  buffer.format = format_;
  buffer.frames = frames;
  const auto* begin = static_cast<const uint8_t*>(data);
  buffer.buffers.emplace_back(begin, begin + static_cast<size_t>(frames) * kBytesPerFrame);
  buffer.presentationNs = captured;
  reportCaptureLatency(buffer, frames, captured, delivered);
  onPCM(buffer, delivered);
}

bool ProcessTapCaptureSource::isSilent(const AudioSampleBuffer& buffer) {
  if (!buffer.format || !buffer.format->isFloat() || buffer.format->bitsPerChannel != 32) return false;
  for (const Bytes& b : buffer.buffers) {
    for (size_t i = 0; i + 4 <= b.size(); i += 4) {
      float x;
      std::memcpy(&x, b.data() + i, 4);
      if (!(std::abs(x) <= 0.0001f)) return false;
    }
  }
  return true;
}

void ProcessTapCaptureSource::reportCaptureLatency(const AudioSampleBuffer& buffer, int64_t frames,
                                                   uint64_t capturedNs, uint64_t deliveredNs) {
  if (!sawAudio_ && !isSilent(buffer)) {
    sawAudio_ = true;
    if (log) log("[audio] tap delivering audio — capture grant is in force");
  }
  const int64_t count = ++captureLatencyCount_;
  if ((count - 1) % 200 != 0 || !log) return;
  if (!sawAudio_) {
    log("[audio] tap running but SILENT so far — either nothing is playing, or the audio-capture grant is missing "
        "(a denied tap yields zeros, not an error)");
  }
  if (capturedNs < deliveredNs) {
    char line[160];
    std::snprintf(line, sizeof line, "[audio] tap delivery: %.1fms after capture stamp, %d frames (%.1fms of audio)",
                  static_cast<double>(deliveredNs - capturedNs) / 1e6, static_cast<int>(frames),
                  static_cast<double>(frames) * 1000.0 / buffer.format->sampleRate);
    log(line);
  }
}

void ProcessTapCaptureSource::checkDefaultOutputDevice(pa_context* context, void* self) {
  pa_operation* op = pa_context_get_server_info(
      context,
      [](pa_context*, const pa_server_info* info, void* self) {
        if (info == nullptr) return;
        auto* me = static_cast<ProcessTapCaptureSource*>(self);
        const std::string now = info->default_sink_name != nullptr ? info->default_sink_name : "";
        me->listenerQueue_.async([me, now] {
          std::lock_guard lock(me->listenerMutex_);
          // The server reports every change of its defaults; only a new sink counts.
          if (!me->watching_ || now == me->watchedDefault_) return;
          me->watchedDefault_ = now;
          if (me->log) me->log("[audio] default output device changed — rebuilding the tap");
          if (me->onStop) me->onStop(std::nullopt);
        });
      },
      self);
  if (op != nullptr) pa_operation_unref(op);
}

void ProcessTapCaptureSource::watchDefaultOutputDevice(uint64_t deadlineNs) {
  {
    std::lock_guard lock(listenerMutex_);
    watching_ = true;
    watchedDefault_ = sinkName_;
  }
  {
    std::lock_guard lock(replyMutex_);
    replied_ = false;
  }
  {
    LoopLock lock(loop_);
    pa_context_set_subscribe_callback(
        context_,
        [](pa_context* context, pa_subscription_event_type_t type, uint32_t, void* self) {
          if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
          checkDefaultOutputDevice(context, self);
        },
        this);
    // The subscription takes effect only once the server answers, and the
    // default may change between reading it and then: start() returns after
    // the answer, and the answer looks at the default once more.
    pa_operation* op = pa_context_subscribe(
        context_, PA_SUBSCRIPTION_MASK_SERVER,
        [](pa_context* context, int, void* self) {
          checkDefaultOutputDevice(context, self);
          auto* me = static_cast<ProcessTapCaptureSource*>(self);
          std::lock_guard reply(me->replyMutex_);
          me->replied_ = true;
          me->replyCv_.notify_all();
        },
        this);
    if (op == nullptr) return;
    pa_operation_unref(op);
  }
  waitUntil([this] { return replied_; }, deadlineNs);
}

void ProcessTapCaptureSource::reportStop(std::optional<std::string> error) {
  listenerQueue_.async([this, error = std::move(error)] {
    std::lock_guard lock(listenerMutex_);
    if (!watching_) return;
    watching_ = false;  // told once
    if (onStop) onStop(error);
  });
}

void ProcessTapCaptureSource::unwatchDefaultOutputDevice() {
  std::lock_guard lock(listenerMutex_);
  watching_ = false;
}

void ProcessTapCaptureSource::teardown() {
  if (loop_ == nullptr) return;
  {
    LoopLock lock(loop_);
    if (stream_ != nullptr) {
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
      stream_ = nullptr;
    }
    if (context_ != nullptr) {
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
  }
  // Joins the event thread: no read callback runs after this.
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
  loop_ = nullptr;
  format_.reset();
  std::lock_guard lock(replyMutex_);
  contextState_ = streamState_ = 0;
}

void ProcessTapCaptureSource::stop() {
  unwatchDefaultOutputDevice();
  teardown();
}

}  // namespace lumenrail

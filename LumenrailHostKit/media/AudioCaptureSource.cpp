#include "media/AudioCaptureSource.hpp"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace lumenrail {

namespace {
const char* kindName(AudioCaptureSource::CaptureError::Kind kind) {
  using Kind = AudioCaptureSource::CaptureError::Kind;
  switch (kind) {
    case Kind::noDisplays: return "noDisplays";
    case Kind::invalidFormat: return "invalidFormat";
    case Kind::streamFailed: return "streamFailed";
    case Kind::startTimedOut: return "startTimedOut";
  }
  return "unknown";
}
}  // namespace

AudioCaptureSource::CaptureError::CaptureError(Kind kind, std::string detail)
    : kind_(kind), text_(kindName(kind)) {
  if (!detail.empty()) text_ += "(" + detail + ")";
}

struct AudioCaptureSource::Shared {
  enum class Phase { starting, running, failed, ended };
  std::mutex mutex;
  std::condition_variable cv;
  Phase phase = Phase::starting;
  int paError = 0;
  std::atomic<bool> stopRequested{false};

  // Held while a callback runs, so stop() can close the door behind the last one.
  std::recursive_mutex deliveryMutex;
  bool deliveriesClosed = false;

  std::function<void(const AudioSampleBuffer&, uint64_t)> onPCM;
  std::function<void(std::optional<std::string>)> onStop;
  Log::Sink log;
  NowNs nowNs;
  // Owned with the source: counts across restarts.
  std::shared_ptr<std::atomic<int64_t>> latencyCount;
};

AudioCaptureSource::AudioCaptureSource(Config config, NowNs nowNs)
    : config_(config), nowNs_(nowNs ? std::move(nowNs) : NowNs(uptimeNs)) {}

AudioCaptureSource::~AudioCaptureSource() { stop(); }

bool AudioCaptureSource::running() const {
  if (!shared_) return false;
  std::lock_guard lock(shared_->mutex);
  return shared_->phase == Shared::Phase::running && !shared_->stopRequested;
}

int64_t AudioCaptureSource::captureLatencyCount() const { return latencyCount_->load(); }

static void captureLoop(const std::shared_ptr<AudioCaptureSource::Shared>& shared, pa_simple* stream,
                        const pa_sample_spec& sampleSpec);

void AudioCaptureSource::start(uint64_t timeoutNs) {
  if (running()) return;
  stop();
  if (config_.sampleRate <= 0 || config_.sampleRate > PA_RATE_MAX || config_.channels <= 0 ||
      config_.channels > PA_CHANNELS_MAX) {
    throw CaptureError(CaptureError::Kind::invalidFormat,
                       std::to_string(config_.sampleRate) + "Hz " + std::to_string(config_.channels) + "ch");
  }
  auto shared = std::make_shared<Shared>();
  shared->onPCM = onPCM;
  shared->onStop = onStop;
  shared->log = log;
  shared->nowNs = nowNs_;
  shared->latencyCount = latencyCount_;
  pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(config_.sampleRate),
                      static_cast<uint8_t>(config_.channels)};
  const std::string serverName = server;
  shared_ = shared;
  thread_ = NamedThread("quillmark.lumenrail.sck.audio", [shared, sampleSpec, serverName] {
    const uint32_t chunkBytes = static_cast<uint32_t>(std::max<uint32_t>(sampleSpec.rate / 100, 1) * pa_frame_size(&sampleSpec));
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = chunkBytes;
    int error = 0;
    pa_simple* stream = pa_simple_new(serverName.empty() ? nullptr : serverName.c_str(), "Lumenrail", PA_STREAM_RECORD,
                                      "@DEFAULT_MONITOR@", "Lumenrail system audio", &sampleSpec, nullptr, &attr, &error);
    {
      std::lock_guard lock(shared->mutex);
      if (stream == nullptr) {
        shared->phase = Shared::Phase::failed;
        shared->paError = error;
        shared->cv.notify_all();
        return;
      }
      if (shared->stopRequested) {
        // The owner gave up waiting: never leave this stream running.
        shared->phase = Shared::Phase::ended;
        shared->cv.notify_all();
        pa_simple_free(stream);
        return;
      }
      shared->phase = Shared::Phase::running;
      shared->cv.notify_all();
    }
    captureLoop(shared, stream, sampleSpec);
    pa_simple_free(stream);
    std::lock_guard lock(shared->mutex);
    shared->phase = Shared::Phase::ended;
    shared->cv.notify_all();
  });

  std::unique_lock lock(shared->mutex);
  const bool answered = shared->cv.wait_for(lock, std::chrono::nanoseconds(timeoutNs),
                                            [&] { return shared->phase != Shared::Phase::starting; });
  if (!answered) {
    lock.unlock();
    stop(0);  // the thread closes the stream itself once the server answers
    throw CaptureError(CaptureError::Kind::startTimedOut, "");
  }
  if (shared->phase == Shared::Phase::failed) {
    const int error = shared->paError;
    lock.unlock();
    stop();
    throw CaptureError(error == PA_ERR_NOENTITY ? CaptureError::Kind::noDisplays : CaptureError::Kind::streamFailed,
                       pa_strerror(error));
  }
}

static void captureLoop(const std::shared_ptr<AudioCaptureSource::Shared>& shared, pa_simple* stream,
                        const pa_sample_spec& sampleSpec) {
  const size_t frameBytes = pa_frame_size(&sampleSpec);
  const int64_t frames = std::max<uint32_t>(sampleSpec.rate / 100, 1);
  while (!shared->stopRequested) {
    AudioSampleBuffer buffer;
    buffer.format = AudioStreamFormat::float32Interleaved(sampleSpec.rate, sampleSpec.channels);
    buffer.frames = frames;
    buffer.buffers.emplace_back(static_cast<size_t>(frames) * frameBytes);
    int error = 0;
    if (pa_simple_read(stream, buffer.buffers[0].data(), buffer.buffers[0].size(), &error) < 0) {
      std::lock_guard delivery(shared->deliveryMutex);
      if (!shared->deliveriesClosed && !shared->stopRequested && shared->onStop) {
        shared->onStop(std::string(pa_strerror(error)));
      }
      return;
    }
    const uint64_t now = shared->nowNs();
    // The first frame of this read was captured the server's latency plus
    // the buffer's own length before now.
    const pa_usec_t latencyUs = pa_simple_get_latency(stream, &error);
    const uint64_t spanNs = static_cast<uint64_t>(frames) * 1'000'000'000ull / sampleSpec.rate;
    const uint64_t backNs = (latencyUs == static_cast<pa_usec_t>(-1) ? 0 : latencyUs * 1000) + spanNs;
    if (now > backNs) buffer.presentationNs = now - backNs;

    std::lock_guard delivery(shared->deliveryMutex);
    if (shared->deliveriesClosed) return;
    const int64_t count = ++*shared->latencyCount;
    if ((count - 1) % 200 == 0 && buffer.presentationNs && *buffer.presentationNs > 0 && shared->log) {
      char line[160];
      std::snprintf(line, sizeof line, "[audio] sound-server delivery: %.1fms after capture stamp, %d samples (%.1fms of audio)",
                    static_cast<double>(now) / 1e6 - static_cast<double>(*buffer.presentationNs) / 1e6,
                    static_cast<int>(frames), static_cast<double>(frames) * 1000.0 / sampleSpec.rate);
      shared->log(line);
    }
    if (shared->onPCM) shared->onPCM(buffer, now);
  }
}

void AudioCaptureSource::stop(uint64_t timeoutNs) {
  if (!shared_) return;
  std::shared_ptr<Shared> shared = std::move(shared_);
  shared->stopRequested = true;
  {
    // Waits for a callback in flight; none starts after this.
    std::lock_guard delivery(shared->deliveryMutex);
    shared->deliveriesClosed = true;
  }
  if (thread_.joinable() && !thread_.isCurrent()) {
    // A read ends within one 10 ms chunk while the server runs; a wedged
    // server leaves the thread to finish by itself (it owns what it uses).
    if (!thread_.joinFor(timeoutNs)) thread_.detach();
  } else if (thread_.joinable()) {
    thread_.detach();
  }
}

}  // namespace lumenrail

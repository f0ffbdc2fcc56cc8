#include "desktop/gnome/MutterCaptureSource.hpp"

#include <atomic>
#include <vector>

#include "desktop/gnome/MutterRemoteDesktop.hpp"
#include "media/CaptureFrameCopier.hpp"
#include "platform/PipeWireVideoStream.hpp"

namespace lumenrail {

namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

// Set while a handler of this source runs on a stream or bus thread: a stop
// from there must not join the thread it runs on.
thread_local bool inHandler = false;

struct HandlerScope {
  HandlerScope() { inHandler = true; }
  ~HandlerScope() { inHandler = false; }
};

}  // namespace

struct MutterCaptureSource::Shared {
  std::mutex lock;  // guards the fields below
  uint64_t lastNs = 0;
  uint64_t count = 0;
  PixelBufferRef lastFrame;
  std::vector<uint8_t> thumbnail;  // kProbeSide² BGRA, empty before the first picture
  std::atomic<uint64_t> drops{0};
  // The size frames are handed on at (a virtual monitor's may change).
  std::atomic<int64_t> width{0};
  std::atomic<int64_t> height{0};

  void note(uint64_t now) {
    std::lock_guard guard(lock);
    lastNs = now;
    ++count;
  }
};

// One start's session and stream. Held while a handler runs so that a stop
// waits for the delivery in progress.
struct MutterCaptureSource::Running {
  std::mutex gate;
  bool open = true;  // under gate
  std::atomic<bool> failed{false};
  std::shared_ptr<MutterRemoteDesktop> session;
  std::unique_ptr<PipeWireVideoStream> stream;

  void fail(const StopHandler& handler, const std::string& why) {
    if (failed.exchange(true)) return;
    HandlerScope scope;
    std::lock_guard guard(gate);
    if (open && handler) handler(std::make_exception_ptr(CaptureError(why)));
  }
};

MutterCaptureSource::MutterCaptureSource(Config config, NowNs nowNs)
    : config_(std::move(config)), nowNs_(std::move(nowNs)), shared_(std::make_shared<Shared>()) {
  shared_->width = config_.width;
  shared_->height = config_.height;
}

MutterCaptureSource::~MutterCaptureSource() {
  stop();
  std::shared_ptr<Running> running;
  {
    std::lock_guard guard(mutex_);
    running = std::move(running_);
  }
  // A stop from a handler left the threads running; they end here.
  if (running && running->stream) running->stream->stop();
  if (running && running->session) running->session->stop();
}

namespace {

void checkSize(int64_t width, int64_t height) {
  if (width < 1 || height < 1 || width > PixelBuffer::kMaxDimension || height > PixelBuffer::kMaxDimension) {
    throw MutterCaptureSource::CaptureError("badSize(" + std::to_string(width) + ", " + std::to_string(height) + ")");
  }
}

}  // namespace

void MutterCaptureSource::start() {
  const int64_t width = shared_->width.load();
  const int64_t height = shared_->height.load();
  checkSize(width, height);
  stop();
  {
    std::shared_ptr<Running> old;
    {
      std::lock_guard guard(mutex_);
      old = std::move(running_);
    }
    if (old && old->stream) old->stream->stop();
    if (old && old->session) old->session->stop();
  }

  auto running = std::make_shared<Running>();
  const std::weak_ptr<Running> weakRunning = running;
  const StopHandler stopHandler = onStop;
  const FrameHandler frameHandler = onFrame;

  MutterRemoteDesktop::Config sessionConfig;
  sessionConfig.busAddress = config_.busAddress;
  sessionConfig.virtualMonitor = config_.virtualMonitor;
  sessionConfig.connector = config_.connector;
  sessionConfig.embedCursor = config_.showsCursor;
  sessionConfig.callTimeoutNs = config_.callTimeoutNs;
  running->session = MutterRemoteDesktop::start(sessionConfig, [weakRunning, stopHandler](const std::string& why) {
    if (auto r = weakRunning.lock()) r->fail(stopHandler, why);
  });

  PipeWireVideoStream::Config streamConfig;
  streamConfig.nodeId = running->session->pipeWireNode();
  streamConfig.remote = config_.pipewireRemote;
  streamConfig.width = width;
  streamConfig.height = height;
  // The virtual monitor takes the offered size; a real one keeps its own and is fitted by the copier.
  streamConfig.fixedSize = config_.virtualMonitor;
  streamConfig.fps = config_.fps;
  streamConfig.aliveCheckNs = config_.aliveCheckNs;
  running->stream = std::make_unique<PipeWireVideoStream>(streamConfig);

  const auto shared = shared_;
  const NowNs nowNs = nowNs_;
  // Used on the stream's thread only; a resize makes a new one.
  auto copier = std::make_shared<CaptureFrameCopier>(width, height, config_.pixelFormat, nowNs_, log);
  const PixelFormat format = config_.pixelFormat;
  const bool fixedSize = config_.virtualMonitor;
  const Log::Sink copierLog = log;
  Running* raw = running.get();
  running->stream->onBuffer = [shared, nowNs] { shared->note(nowNs()); };
  // A still screen is alive while both PipeWire and Mutter's main loop answer.
  running->stream->onRoundTrip = [shared, nowNs, session = std::weak_ptr<MutterRemoteDesktop>(running->session)] {
    if (auto s = session.lock()) s->probeAlive([shared, nowNs] { shared->note(nowNs()); });
  };
  running->stream->onEnd = [raw, stopHandler](const std::string& why) { raw->fail(stopHandler, why); };
  running->stream->onFrame = [raw, shared, nowNs, copier, frameHandler, format, fixedSize, copierLog,
                              copierW = width, copierH = height](const VideoFrameView& view) mutable {
    // A point-sampled thumbnail: what the content probe hashes, for a few microseconds a frame.
    std::vector<uint8_t> thumb(size_t(kProbeSide * kProbeSide * 4));
    for (int64_t ty = 0; ty < kProbeSide; ++ty) {
      const uint8_t* row = view.bgrx + (ty * view.height / kProbeSide) * view.bytesPerRow;
      for (int64_t tx = 0; tx < kProbeSide; ++tx) {
        const uint8_t* p = row + (tx * view.width / kProbeSide) * 4;
        uint8_t* d = &thumb[size_t((ty * kProbeSide + tx) * 4)];
        d[0] = p[0];
        d[1] = p[1];
        d[2] = p[2];
        d[3] = 0xff;
      }
    }
    const int64_t wantW = shared->width.load();
    const int64_t wantH = shared->height.load();
    // A picture of the monitor's old size, still in flight while the stream renegotiates, is not the monitor now.
    const bool stale = fixedSize && (view.width != wantW || view.height != wantH);
    PixelBufferRef frame;
    if (!stale) {
      if (wantW != copierW || wantH != copierH) {
        copier = std::make_shared<CaptureFrameCopier>(wantW, wantH, format, nowNs, copierLog);
        copierW = wantW;
        copierH = wantH;
      }
      frame = copier->copy(view.bgrx, view.bytesPerRow, view.width, view.height);
      shared->drops.store(copier->dropCount());
    }
    {
      std::lock_guard guard(shared->lock);
      shared->thumbnail = std::move(thumb);
      if (frame) shared->lastFrame = frame;
    }
    if (!frame) return;
    const uint64_t captured = nowNs();
    HandlerScope scope;
    std::lock_guard gate(raw->gate);
    if (raw->open && frameHandler) frameHandler(frame, captured);
  };
  try {
    running->stream->start();
  } catch (...) {
    running->session->stop();
    throw;
  }
  {
    std::lock_guard guard(shared_->lock);
    shared_->lastNs = nowNs_();
  }
  std::lock_guard guard(mutex_);
  running_ = running;
}

void MutterCaptureSource::resize(int64_t width, int64_t height) {
  if (!config_.virtualMonitor) throw CaptureError("only a virtual monitor can be resized");
  checkSize(width, height);
  {
    std::lock_guard guard(shared_->lock);
    shared_->width = width;
    shared_->height = height;
    shared_->lastFrame.reset();  // of the old size
  }
  std::shared_ptr<Running> running;
  {
    std::lock_guard guard(mutex_);
    running = running_;
  }
  if (running && running->stream) running->stream->requestFormat(width, height, config_.fps);
}

void MutterCaptureSource::stop() {
  std::shared_ptr<Running> running;
  {
    std::lock_guard guard(mutex_);
    running = running_;
  }
  if (!running) return;
  if (inHandler) {
    // The gate is ours already; the threads are ended by the next start or the destructor.
    running->open = false;
    return;
  }
  {
    std::lock_guard gate(running->gate);
    running->open = false;
  }
  running->stream->stop();
  running->session->stop();
  std::lock_guard guard(mutex_);
  if (running_ == running) running_.reset();
}

PixelBufferRef MutterCaptureSource::captureOneShot() {
  std::lock_guard guard(shared_->lock);
  return shared_->lastFrame;
}

std::optional<uint64_t> MutterCaptureSource::probeContentHash() {
  const auto s = session();
  if (!s || !s->answers(config_.probeAnswerNs)) return std::nullopt;
  std::lock_guard guard(shared_->lock);
  if (shared_->thumbnail.empty()) return std::nullopt;
  uint64_t hash = kFnvOffset;
  for (uint8_t b : shared_->thumbnail) {
    hash ^= b;
    hash *= kFnvPrime;
  }
  return hash;
}

uint64_t MutterCaptureSource::lastDeliveryNs() const {
  std::lock_guard guard(shared_->lock);
  return shared_->lastNs;
}

uint64_t MutterCaptureSource::deliveryCount() const {
  std::lock_guard guard(shared_->lock);
  return shared_->count;
}

bool MutterCaptureSource::holdsSessionWhileSilent() const {
  std::lock_guard guard(mutex_);
  return running_ && !running_->failed.load();
}

bool MutterCaptureSource::unresponsive() const {
  const auto s = session();
  return s && !s->answering();
}

uint64_t MutterCaptureSource::copyDropCount() const { return shared_->drops.load(); }

std::shared_ptr<MutterRemoteDesktop> MutterCaptureSource::session() const {
  std::lock_guard guard(mutex_);
  return running_ ? running_->session : nullptr;
}

}  // namespace lumenrail

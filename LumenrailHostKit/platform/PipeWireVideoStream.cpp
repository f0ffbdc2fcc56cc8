#include "platform/PipeWireVideoStream.hpp"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace lumenrail {

namespace {

void initOnce() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

constexpr uint32_t kBuffersWanted = 8;

}  // namespace

struct PipeWireVideoStream::Impl {
  Config config;
  FrameHandler onFrame;
  NoticeHandler onBuffer;
  NoticeHandler onRoundTrip;
  EndHandler onEnd;

  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_source* aliveTimer = nullptr;
  spa_hook coreListener{};
  spa_hook streamListener{};
  int pendingSync = -1;
  bool streamed = false;  // was connected to the node once

  // Read by any thread; written on the loop thread.
  std::atomic<int64_t> width{0};
  std::atomic<int64_t> height{0};
  // False once stopped or ended: no handler runs after that. Loop thread, under the loop lock.
  bool open = true;

  void end(const std::string& why) {
    if (!open) return;
    open = false;
    if (onEnd) onEnd(why);
  }

  static void onCoreDone(void* data, uint32_t id, int seq) {
    auto* self = static_cast<Impl*>(data);
    if (id != PW_ID_CORE || seq != self->pendingSync) return;
    self->pendingSync = -1;
    if (self->open && self->onRoundTrip) self->onRoundTrip();
  }

  static void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<Impl*>(data);
    // The daemon's own connection failed (it went away): nothing more will come.
    if (id == PW_ID_CORE && res == -EPIPE) {
      self->end(std::string("pipewire connection lost: ") + (message ? message : ""));
    }
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* self = static_cast<Impl*>(data);
    switch (state) {
      case PW_STREAM_STATE_ERROR:
        self->end(std::string("pipewire stream error: ") + (error ? error : ""));
        break;
      case PW_STREAM_STATE_UNCONNECTED:
        // The node went (its producer stopped or died).
        if (self->streamed) self->end("pipewire stream disconnected");
        break;
      case PW_STREAM_STATE_PAUSED:
      case PW_STREAM_STATE_STREAMING:
        self->streamed = true;
        break;
      case PW_STREAM_STATE_CONNECTING:
        break;
    }
  }

  static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    self->width.store(info.size.width);
    self->height.store(info.size.height);

    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kBuffersWanted, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                   SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(self->stream, params, 2);
  }

  static void onProcess(void* data) {
    auto* self = static_cast<Impl*>(data);
    // Only the newest buffer matters; older ones go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(self->stream)) {
      if (newest) pw_stream_queue_buffer(self->stream, newest);
      newest = next;
    }
    if (!newest) return;
    if (self->open && self->onBuffer) self->onBuffer();
    self->deliver(*newest->buffer);
    pw_stream_queue_buffer(self->stream, newest);
  }

  void deliver(const spa_buffer& buffer) {
    if (!open || !onFrame || buffer.n_datas < 1) return;
    const auto* header =
        static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return;
    const spa_data& d = buffer.datas[0];
    if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) return;
    const int64_t w = width.load();
    const int64_t h = height.load();
    const int64_t stride = d.chunk->stride > 0 ? d.chunk->stride : w * 4;
    const int64_t offset = d.maxsize ? int64_t(d.chunk->offset % d.maxsize) : 0;
    // A buffer too small for the negotiated picture is not read.
    if (w < 1 || h < 1 || stride < w * 4 || offset + stride * (h - 1) + w * 4 > int64_t(d.maxsize)) return;
    VideoFrameView view;
    view.bgrx = static_cast<const uint8_t*>(d.data) + offset;
    view.bytesPerRow = stride;
    view.width = w;
    view.height = h;
    onFrame(view);
  }

  static void onAliveTimer(void* data, uint64_t) {
    auto* self = static_cast<Impl*>(data);
    // An unanswered round-trip is not repeated: the missing answer is the news.
    if (self->core && self->pendingSync < 0) self->pendingSync = pw_core_sync(self->core, PW_ID_CORE, 0);
  }

  const spa_pod* enumFormat(spa_pod_builder& b) const {
    const spa_rectangle preferred = SPA_RECTANGLE(uint32_t(config.width), uint32_t(config.height));
    const spa_rectangle smallest = SPA_RECTANGLE(1, 1);
    const spa_rectangle largest = SPA_RECTANGLE(16384, 16384);
    const uint32_t fps = uint32_t(std::clamp<int64_t>(config.fps, 1, 1000));
    const spa_fraction variable = SPA_FRACTION(0, 1);
    const spa_fraction rate = SPA_FRACTION(fps, 1);
    const spa_fraction slowest = SPA_FRACTION(1, 1);
    spa_pod_frame f;
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
                        0);
    if (config.fixedSize) {
      spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&preferred), 0);
    } else {
      spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&preferred, &smallest, &largest),
                          0);
    }
    // Frames come when the screen changes (a variable rate), at most `fps` a second.
    spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &rate), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f));
  }

  void teardownLocked() {
    open = false;
    if (aliveTimer) {
      pw_loop_destroy_source(pw_thread_loop_get_loop(loop), aliveTimer);
      aliveTimer = nullptr;
    }
    if (stream) {
      spa_hook_remove(&streamListener);
      pw_stream_disconnect(stream);
      pw_stream_destroy(stream);
      stream = nullptr;
    }
    if (core) {
      spa_hook_remove(&coreListener);
      pw_core_disconnect(core);
      core = nullptr;
    }
  }

  void destroy() {
    if (!loop) return;
    pw_thread_loop_lock(loop);
    teardownLocked();
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    if (context) pw_context_destroy(context);
    context = nullptr;
    pw_thread_loop_destroy(loop);
    loop = nullptr;
  }
};

PipeWireVideoStream::PipeWireVideoStream(Config config) : impl_(std::make_unique<Impl>()) {
  impl_->config = std::move(config);
}

PipeWireVideoStream::~PipeWireVideoStream() { impl_->destroy(); }

namespace {

void checkSize(int64_t width, int64_t height) {
  if (width < 1 || height < 1 || width > 16384 || height > 16384) throw PipeWireError("pipewire stream: bad size");
}

}  // namespace

void PipeWireVideoStream::start() {
  if (impl_->loop) throw PipeWireError("pipewire stream started twice");
  checkSize(impl_->config.width, impl_->config.height);
  initOnce();
  Impl& s = *impl_;
  s.onFrame = onFrame;
  s.onBuffer = onBuffer;
  s.onRoundTrip = onRoundTrip;
  s.onEnd = onEnd;
  s.loop = pw_thread_loop_new("lumenrail-pipewire", nullptr);
  if (!s.loop) throw PipeWireError("pw_thread_loop_new failed");
  s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
  if (!s.context || pw_thread_loop_start(s.loop) < 0) {
    s.destroy();
    throw PipeWireError("pipewire context failed");
  }

  static const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = &Impl::onCoreDone;
    e.error = &Impl::onCoreError;
    return e;
  }();
  static const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &Impl::onStateChanged;
    e.param_changed = &Impl::onParamChanged;
    e.process = &Impl::onProcess;
    return e;
  }();

  pw_thread_loop_lock(s.loop);
  pw_properties* coreProps =
      s.config.remote.empty() ? nullptr : pw_properties_new(PW_KEY_REMOTE_NAME, s.config.remote.c_str(), nullptr);
  s.core = pw_context_connect(s.context, coreProps, 0);
  if (!s.core) {
    const int err = errno;
    pw_thread_loop_unlock(s.loop);
    s.destroy();
    throw PipeWireError(std::string("cannot reach the pipewire daemon: ") + std::strerror(err));
  }
  pw_core_add_listener(s.core, &s.coreListener, &coreEvents, &s);

  s.stream = pw_stream_new(s.core, "lumenrail-capture",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!s.stream) {
    pw_thread_loop_unlock(s.loop);
    s.destroy();
    throw PipeWireError("pw_stream_new failed");
  }
  pw_stream_add_listener(s.stream, &s.streamListener, &streamEvents, &s);
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[1] = {s.enumFormat(b)};
  // Never moved to another node: when this one goes, the stream ends.
  const int rc = pw_stream_connect(
      s.stream, PW_DIRECTION_INPUT, s.config.nodeId,
      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_DONT_RECONNECT), params,
      1);
  if (rc < 0) {
    pw_thread_loop_unlock(s.loop);
    s.destroy();
    throw PipeWireError(std::string("pw_stream_connect failed: ") + std::strerror(-rc));
  }
  s.aliveTimer = pw_loop_add_timer(pw_thread_loop_get_loop(s.loop), &Impl::onAliveTimer, &s);
  if (s.aliveTimer) {
    const uint64_t every = std::max<uint64_t>(s.config.aliveCheckNs, kNsPerMs);
    timespec value{time_t(every / kNsPerSecond), long(every % kNsPerSecond)};
    pw_loop_update_timer(pw_thread_loop_get_loop(s.loop), s.aliveTimer, &value, &value, false);
  }
  pw_thread_loop_unlock(s.loop);
}

void PipeWireVideoStream::stop() {
  Impl& s = *impl_;
  if (!s.loop) return;
  if (pw_thread_loop_in_thread(s.loop)) {
    s.open = false;  // the loop lock is ours already
    return;
  }
  s.destroy();
}

void PipeWireVideoStream::requestFormat(int64_t width, int64_t height, int64_t fps) {
  checkSize(width, height);
  Impl& s = *impl_;
  if (!s.loop) throw PipeWireError("pipewire stream not running");
  const bool inLoop = pw_thread_loop_in_thread(s.loop);
  if (!inLoop) pw_thread_loop_lock(s.loop);
  int rc = -EPIPE;
  if (s.stream && s.open) {
    s.config.width = width;
    s.config.height = height;
    s.config.fps = fps;
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[1] = {s.enumFormat(b)};
    // Replaces only the offered formats; the buffer and meta wishes stay.
    rc = pw_stream_update_params(s.stream, params, 1);
  }
  if (!inLoop) pw_thread_loop_unlock(s.loop);
  if (rc < 0) throw PipeWireError(std::string("pipewire renegotiation failed: ") + std::strerror(-rc));
}

int64_t PipeWireVideoStream::width() const { return impl_->width.load(); }
int64_t PipeWireVideoStream::height() const { return impl_->height.load(); }

}  // namespace lumenrail

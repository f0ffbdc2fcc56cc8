// The PipeWire consumer against a producer of the test's own on a private
// daemon: empty, corrupted and hostile buffers are counted but never read
// as pictures; a good one arrives with its pixels; the producer going away
// ends the stream once.
#include "platform/PipeWireVideoStream.hpp"

#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "support/HeadlessMutter.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

constexpr uint32_t kW = 64;
constexpr uint32_t kH = 48;

enum class Fill { empty, corrupted, hostileStride, good };

// A video source node driven by the test: each trigger sends one buffer made as told.
struct TestProducer {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  std::atomic<uint32_t> node{SPA_ID_INVALID};
  std::atomic<bool> streaming{false};
  Fill next = Fill::good;  // under the loop lock

  explicit TestProducer(const std::string& remote) {
    pw_init(nullptr, nullptr);
    loop = pw_thread_loop_new("test-producer", nullptr);
    context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    pw_thread_loop_start(loop);
    pw_thread_loop_lock(loop);
    core = pw_context_connect(context, pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr), 0);
    if (core) {
      stream = pw_stream_new(core, "lumenrail-test-source",
                             pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
      static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
          auto* self = static_cast<TestProducer*>(data);
          self->node.store(pw_stream_get_node_id(self->stream));
          self->streaming.store(state == PW_STREAM_STATE_STREAMING);
        };
        e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
          auto* self = static_cast<TestProducer*>(data);
          if (id != SPA_PARAM_Format || !param) return;
          uint8_t storage[256];
          spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
          const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
              &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
              SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
              SPA_POD_Int(kW * kH * 4), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(kW * 4)))};
          pw_stream_update_params(self->stream, params, 1);
        };
        e.process = [](void* data) { static_cast<TestProducer*>(data)->produce(); };
        return e;
      }();
      pw_stream_add_listener(stream, &listener, &events, this);
      uint8_t storage[512];
      spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
      const spa_rectangle size = SPA_RECTANGLE(kW, kH);
      const spa_fraction rate = SPA_FRACTION(0, 1);
      const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
          SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
          SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
          SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)))};
      pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                        params, 1);
    }
    pw_thread_loop_unlock(loop);
  }

  ~TestProducer() { close(); }

  void close() {
    if (!loop) return;
    pw_thread_loop_lock(loop);
    if (stream) {
      spa_hook_remove(&listener);
      pw_stream_destroy(stream);
    }
    if (core) pw_core_disconnect(core);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
    loop = nullptr;
  }

  void produce() {
    pw_buffer* b = pw_stream_dequeue_buffer(stream);
    if (!b) return;
    spa_data& d = b->buffer->datas[0];
    if (!d.data || d.maxsize < kW * kH * 4) {
      pw_stream_queue_buffer(stream, b);
      return;
    }
    auto* px = static_cast<uint8_t*>(d.data);
    for (uint32_t i = 0; i < kW * kH; ++i) {
      px[i * 4] = 0x11;  // B
      px[i * 4 + 1] = 0x22;
      px[i * 4 + 2] = 0x33;
      px[i * 4 + 3] = 0;
    }
    d.chunk->offset = 0;
    d.chunk->stride = kW * 4;
    d.chunk->size = kW * kH * 4;
    d.chunk->flags = SPA_CHUNK_FLAG_NONE;
    switch (next) {
      case Fill::empty:
        d.chunk->size = 0;
        break;
      case Fill::corrupted:
        d.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
        break;
      case Fill::hostileStride:
        d.chunk->stride = kW * 4 * 64;  // rows far past the end of the buffer
        break;
      case Fill::good:
        break;
    }
    pw_stream_queue_buffer(stream, b);
  }

  void send(Fill fill) {
    pw_thread_loop_lock(loop);
    next = fill;
    pw_stream_trigger_process(stream);
    pw_thread_loop_unlock(loop);
  }
};

TEST(PipeWireVideoStreamIntegration, OnlyWholeBuffersArePicturesAndTheProducerLeavingEndsTheStream) {
  test::HeadlessMutter desktop;  // for its pipewire and wireplumber
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  TestProducer producer(desktop.pipewireRemote());
  ASSERT_TRUE(test::eventually([&] { return producer.node.load() != SPA_ID_INVALID; }));

  PipeWireVideoStream::Config config;
  config.nodeId = producer.node.load();
  config.remote = desktop.pipewireRemote();
  config.width = kW;
  config.height = kH;
  PipeWireVideoStream stream(config);
  test::EventCounter buffers, frames, ends;
  std::mutex mutex;
  std::vector<uint8_t> firstPixel;
  stream.onBuffer = [&] { buffers.add(); };
  stream.onFrame = [&](const VideoFrameView& v) {
    std::lock_guard guard(mutex);
    firstPixel.assign(v.bgrx, v.bgrx + 3);
    EXPECT_EQ(v.width, kW);
    EXPECT_EQ(v.height, kH);
    frames.add();
  };
  stream.onEnd = [&](const std::string&) { ends.add(); };
  stream.start();
  ASSERT_TRUE(test::eventually([&] { return producer.streaming.load(); })) << desktop.logs();

  // Sent until two arrive: the link may still be forming when the producer streams, and a
  // consumer may be handed the buffer of the cycle before; the second is surely this kind.
  const auto deliver = [&](Fill fill) {
    const int before = buffers.count();
    return test::eventually([&] {
      producer.send(fill);
      return buffers.waitFor(before + 2, 20 * kNsPerMs);
    });
  };
  for (Fill fill : {Fill::empty, Fill::corrupted, Fill::hostileStride}) ASSERT_TRUE(deliver(fill));
  EXPECT_EQ(frames.count(), 0);
  ASSERT_TRUE(deliver(Fill::good));
  ASSERT_TRUE(frames.waitFor(1));
  {
    std::lock_guard guard(mutex);
    EXPECT_EQ(firstPixel, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  }

  producer.close();
  EXPECT_TRUE(ends.waitFor(1));
  stream.stop();
  EXPECT_EQ(ends.count(), 1);
}

}  // namespace
}  // namespace lumenrail

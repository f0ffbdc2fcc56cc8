#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Clock.hpp"

namespace lumenrail {

// One readable picture of a stream, valid only during the frame handler.
struct VideoFrameView {
  const uint8_t* bgrx = nullptr;  // BGRx or BGRA; the fourth byte is not read
  int64_t bytesPerRow = 0;
  int64_t width = 0;
  int64_t height = 0;
};

class PipeWireError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Wraps a libpipewire-0.3 video consumer on a pw_thread_loop of its own:
// it connects to one node, offers BGRx/BGRA in shared memory only (no GPU
// buffers: a consumer without modifiers gets memfd buffers) and hands each
// readable buffer to `onFrame` on the loop thread. Every buffer, also the
// corrupted and empty ones that are skipped (a producer sends those for
// cursor-only updates), is reported through `onBuffer`; the daemon's answer
// to a round-trip every `aliveCheckNs` through `onRoundTrip`, so a still
// screen can be told from a dead stream. `onEnd` is told once when the
// stream or the daemon goes away.
class PipeWireVideoStream final {
 public:
  struct Config {
    uint32_t nodeId = 0;
    // The daemon's socket; empty: $XDG_RUNTIME_DIR/pipewire-0.
    std::string remote;
    int64_t width = 0;
    int64_t height = 0;
    // Exactly this size (a virtual monitor takes the size it is offered);
    // otherwise any size, preferring this one.
    bool fixedSize = false;
    int64_t fps = 60;
    uint64_t aliveCheckNs = kNsPerSecond;
  };

  using FrameHandler = std::function<void(const VideoFrameView&)>;
  using NoticeHandler = std::function<void()>;
  using EndHandler = std::function<void(const std::string& why)>;

  explicit PipeWireVideoStream(Config config);
  ~PipeWireVideoStream();
  PipeWireVideoStream(const PipeWireVideoStream&) = delete;
  PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

  // Set before start(); they run on the loop thread.
  FrameHandler onFrame;
  NoticeHandler onBuffer;
  NoticeHandler onRoundTrip;
  EndHandler onEnd;

  // Connects to the daemon and the node; throws PipeWireError when the
  // daemon cannot be reached. A node that vanishes later ends through onEnd.
  void start();
  // No handler runs once it returns; the loop thread is joined. From a
  // handler it only silences the stream; the destructor finishes.
  void stop();

  // Offers the producer this size and rate instead, so the running stream is
  // renegotiated (Mutter resizes a virtual monitor in place when its
  // consumer does this). Throws PipeWireError for a bad size or a stream
  // that is not running.
  void requestFormat(int64_t width, int64_t height, int64_t fps);

  // The negotiated picture size; 0 before negotiation.
  int64_t width() const;
  int64_t height() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumenrail

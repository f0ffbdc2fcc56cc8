#pragma once

// One lane of the video: a captured frame in, the lane's clients' frames out.
// The main lane crops to the zoom viewport, decides the keyframes and feeds
// the small lane, which scales the same picture to its own mode at no more
// than its own rate; each lane's encoder output goes to that lane's clients.
// What the clients ask of the video (keyframes, the viewport) is pushed in by
// the server's hooks as it happens and acted on at the next frame.
//
// Threads: frame() and takeKeyframe() run one at a time, on the pump's thread
// (the capture thread when pacing is bypassed); the hooks on the server's
// threads; the encoder and mode are set by LaneEncoders (at its making, on the
// session's queue, and at the session's stop). One lock guards the encoder and
// mode, another the viewport asked for; neither is held across an encode.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "media/FrameScaler.hpp"
#include "media/PixelBuffer.hpp"
#include "media/VideoEncoder.hpp"
#include "media/ViewportCropper.hpp"
#include "media/ViewportGeometry.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "wire/ClientModePolicy.hpp"
#include "wire/FrameStallProbe.hpp"
#include "wire/KeyframeRequests.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

class VideoStream final {
 public:
  using Mode = ClientModePolicy::Mode;

  struct Config {
    Lane lane = Lane::main;
    std::shared_ptr<WireServer> server;
    // Follows the lane's frames from the pump to the sockets; none: not followed.
    std::shared_ptr<FrameStallProbe> stallProbe;
    Log::Sink log;
    // The clock the keyframe requests are stamped and taken on.
    NowNs nowNs = uptimeNs;
    // The small lane, fed by this one.
    std::shared_ptr<VideoStream> follower;
  };

  static constexpr uint64_t kViewportIdrMinIntervalNs = 250'000'000;

  explicit VideoStream(Config config);
  VideoStream(const VideoStream&) = delete;
  VideoStream& operator=(const VideoStream&) = delete;

  // Points the server's keyframe and viewport hooks at this stream, which
  // records what they push in (any thread); after the owner's
  // onClientDisconnected, which then runs after the client is forgotten.
  void listen(WireServer::Hooks& hooks);

  // The lane's encoder and the mode its frames have; both none: the lane is
  // off. The encoder's output goes to this lane's clients (attach()).
  void setEncoder(std::shared_ptr<VideoEncoder> encoder, std::optional<Mode> mode);
  void setMode(std::optional<Mode> mode);
  // The lane goes off when `encoder` is still its encoder.
  void dropEncoder(const std::shared_ptr<VideoEncoder>& encoder);
  std::shared_ptr<VideoEncoder> encoder() const;
  std::optional<Mode> mode() const;
  // Points an encoder's output at this lane's clients; before it starts.
  void attach(VideoEncoder& encoder) const;

  // True once per keyframe due; the pump asks before each frame it may hand over.
  bool takeKeyframe() { return keyframes_->take(config_.nowNs()); }
  // One captured frame, on the pump's thread; `force` asks for a keyframe.
  void frame(const PixelBufferRef& buffer, uint64_t captureNs, bool force);

 private:
  // The encoder and the mode of its frames, read together.
  std::pair<std::shared_ptr<VideoEncoder>, std::optional<Mode>> current() const;
  // The small lane's share of the main lane's (cropped) frame.
  void follow(const PixelBufferRef& frame, uint64_t captureNs, bool keyframe);
  void encode(const std::shared_ptr<VideoEncoder>& encoder, const PixelBufferRef& frame, uint64_t captureNs,
              bool keyframe);
  void say(const std::string& line) const {
    if (config_.log) config_.log(line);
  }

  const Config config_;
  const std::shared_ptr<KeyframeRequests> keyframes_ = std::make_shared<KeyframeRequests>();

  mutable std::mutex lock_;
  std::shared_ptr<VideoEncoder> encoder_;  // under lock_
  std::optional<Mode> mode_;               // under lock_

  // What the clients asked for last; the server's hook writes it, so it holds nothing of the server.
  struct AskedViewport {
    void set(const Wire::ViewportRectQ16& to) {
      std::lock_guard guard(lock);
      viewport = to;
    }
    Wire::ViewportRectQ16 get() {
      std::lock_guard guard(lock);
      return viewport;
    }
    std::mutex lock;
    Wire::ViewportRectQ16 viewport = Wire::ViewportRectQ16::full();
  };
  const std::shared_ptr<AskedViewport> asked_ = std::make_shared<AskedViewport>();

  // The pump thread's.
  ViewportCropper cropper_;
  PixelRect lastViewport_;
  bool viewportIdrPending_ = false;
  uint64_t lastViewportIdrNs_ = 0;
  FrameScaler scaler_;
  uint64_t lastEncodeNs_ = 0;
  bool keyframeOwed_ = false;
};

}  // namespace lumenrail

#include "session/VideoStream.hpp"

#include <algorithm>

namespace lumenrail {

VideoStream::VideoStream(Config config) : config_(std::move(config)) {}

void VideoStream::listen(WireServer::Hooks& hooks) {
  WireServer::recordKeyframes(hooks, keyframes_, config_.nowNs);
  // Runs under the server's viewport lock, so the changes arrive in the order they were made.
  hooks.onViewportChanged = [asked = asked_](const Wire::ViewportRectQ16& viewport) { asked->set(viewport); };
}

void VideoStream::setEncoder(std::shared_ptr<VideoEncoder> encoder, std::optional<Mode> mode) {
  std::lock_guard lock(lock_);
  encoder_ = std::move(encoder);
  mode_ = mode;
}

void VideoStream::setMode(std::optional<Mode> mode) {
  std::lock_guard lock(lock_);
  mode_ = mode;
}

void VideoStream::dropEncoder(const std::shared_ptr<VideoEncoder>& encoder) {
  std::lock_guard lock(lock_);
  if (encoder_ != encoder) return;
  encoder_.reset();
  mode_.reset();
}

std::shared_ptr<VideoEncoder> VideoStream::encoder() const {
  std::lock_guard lock(lock_);
  return encoder_;
}

std::optional<VideoStream::Mode> VideoStream::mode() const {
  std::lock_guard lock(lock_);
  return mode_;
}

std::pair<std::shared_ptr<VideoEncoder>, std::optional<VideoStream::Mode>> VideoStream::current() const {
  std::lock_guard lock(lock_);
  return {encoder_, mode_};
}

void VideoStream::attach(VideoEncoder& encoder) const {
  encoder.sink = [probe = config_.stallProbe, server = config_.server, lane = config_.lane](const EncodedFrame& frame) {
    if (probe) probe->noteEncoded(frame.captureTimeNs);
    server->broadcast(frame.captureTimeNs, frame.isKeyframe, frame.data, lane);
  };
}

// ---- frames -----------------------------------------------------------------------

void VideoStream::frame(const PixelBufferRef& buffer, uint64_t captureNs, bool force) {
  if (config_.stallProbe) config_.stallProbe->noteEmit(captureNs);
  const auto [encoder, mode] = current();
  if (!encoder || !mode) return;
  const Wire::ViewportRectQ16 desired = asked_->get();
  const PixelRect rect = ViewportGeometry::pixels(desired, mode->width, mode->height);
  if (rect != lastViewport_) {
    config_.server->broadcastViewportApplied(ViewportGeometry::toQ16(rect, mode->width, mode->height));
    lastViewport_ = rect;
    viewportIdrPending_ = true;
  }

  bool keyframe = false;
  if (viewportIdrPending_ && captureNs - lastViewportIdrNs_ >= kViewportIdrMinIntervalNs) {
    say("[m2] viewport IDR (throttled ≥250ms)");
    viewportIdrPending_ = false;
    lastViewportIdrNs_ = captureNs;
    keyframe = true;
  } else if (force) {
    viewportIdrPending_ = false;
    lastViewportIdrNs_ = captureNs;
    keyframe = true;
  }

  PixelBufferRef frame = buffer;
  if (!desired.isFull()) {
    if (auto cropped = cropper_.crop(buffer, rect, mode->width, mode->height)) frame = std::move(cropped);
  }
  encode(encoder, frame, captureNs, keyframe);
  if (config_.follower) config_.follower->follow(frame, captureNs, keyframe);
}

void VideoStream::follow(const PixelBufferRef& frame, uint64_t captureNs, bool keyframe) {
  const auto [encoder, mode] = current();
  if (!encoder || !mode) return;
  keyframeOwed_ = keyframeOwed_ || keyframe;
  const uint64_t minGapNs = (kNsPerSecond / static_cast<uint64_t>(std::max<int64_t>(mode->fps, 1))) * 9 / 10;
  if (!keyframeOwed_ && captureNs - lastEncodeNs_ < minGapNs) return;
  // The cropped frame, so the small lane shows the same viewport.
  auto scaled = scaler_.scale(frame, mode->width, mode->height);
  if (!scaled) return;
  lastEncodeNs_ = captureNs;
  const bool key = keyframeOwed_;
  keyframeOwed_ = false;
  encode(encoder, scaled, captureNs, key);
}

void VideoStream::encode(const std::shared_ptr<VideoEncoder>& encoder, const PixelBufferRef& frame,
                         uint64_t captureNs, bool keyframe) {
  try {
    encoder->encode(frame, captureNs, keyframe);
  } catch (const std::exception&) {
    // One lost frame; the next keyframe request recovers the stream.
  }
}

}  // namespace lumenrail

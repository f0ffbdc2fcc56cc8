#include "media/VideoToolboxEncoder.hpp"

#include <algorithm>
#include <cmath>

#include "media/AccessUnit.hpp"

namespace lumenrail {

namespace {

constexpr int64_t kMaxFps = 1000;
constexpr int64_t kMaxIntervalFrames = 1'000'000'000;
constexpr int64_t kMaxKbps = 2'000'000;  // the libraries take int kbit/s

const char* kindName(VideoToolboxEncoder::ErrorKind kind) {
  switch (kind) {
    case VideoToolboxEncoder::ErrorKind::sessionCreateFailed:
      return "sessionCreateFailed";
    case VideoToolboxEncoder::ErrorKind::encodeFailed:
      return "encodeFailed";
    case VideoToolboxEncoder::ErrorKind::notStarted:
      return "notStarted";
  }
  return "unknown";
}

}  // namespace

VideoToolboxEncoder::EncoderError::EncoderError(ErrorKind k, int32_t s) : kind(k), status(s) {
  text_ = kindName(k);
  if (k != ErrorKind::notStarted) text_ += "(" + std::to_string(s) + ")";
}

VideoToolboxEncoder::VideoToolboxEncoder(Config config, NowNs nowNs) : config_(config), nowNs_(std::move(nowNs)) {}

VideoToolboxEncoder::~VideoToolboxEncoder() { stop(); }

int64_t VideoToolboxEncoder::intervalFrames(double seconds, int64_t fps) {
  const double frames = seconds * static_cast<double>(fps);
  // Below one frame (also NaN) every frame is a keyframe rather than none.
  if (!(frames >= 1.0)) return 1;
  if (frames >= static_cast<double>(kMaxIntervalFrames)) return kMaxIntervalFrames;
  return static_cast<int64_t>(frames);
}

CodecRate VideoToolboxEncoder::rateFor(float quality, int64_t bitrateBps, int64_t liveFps) const {
  // The wire allows 1.2 times the average rate in any one second.
  const int64_t capBps = bitrateBps + bitrateBps / 5;
  // The libraries cannot change their frame rate live and budget each frame
  // as cap / opening rate; scaling the cap by opening / live rate keeps the
  // bits per second at the asked rate.
  const int64_t capKbps = (capBps * config_.fps / liveFps + 999) / 1000;
  CodecRate rate;
  rate.quality = quality;
  rate.vbvMaxKbps = std::clamp<int64_t>(capKbps, 1, kMaxKbps);
  // One second of the cap: the window of the wire's data-rate limit.
  rate.vbvBufferKbit = std::clamp<int64_t>((capBps + 999) / 1000, 1, kMaxKbps);
  return rate;
}

bool VideoToolboxEncoder::fits(int64_t width, int64_t height, int64_t fps) {
  const auto side = [](int64_t pixels) { return pixels >= 16 && pixels <= PixelBuffer::kMaxDimension && pixels % 2 == 0; };
  return side(width) && side(height) && fps >= 1 && fps <= kMaxFps;
}

void VideoToolboxEncoder::start() {
  std::lock_guard delivery(deliveryMutex_);
  std::lock_guard lock(sessionMutex_);
  if (session_) return;
  const Config& c = config_;
  const bool codecOk = c.codec == Wire::Codec::h264 || c.codec == Wire::Codec::hevc;
  if (!fits(c.width, c.height, c.fps) || !codecOk || c.bitrateBps < 1) {
    throw EncoderError(ErrorKind::sessionCreateFailed, kStatusBadParameter);
  }
  quality_ = kDefaultQuality;
  bitrateBps_ = c.bitrateBps;
  liveFps_ = c.fps;
  const CodecRate rate = rateFor(quality_, bitrateBps_, liveFps_);
  std::unique_ptr<CodecSession> session = c.codec == Wire::Codec::hevc
                                              ? CodecSession::makeHevc(c.width, c.height, c.fps, rate, nowNs_)
                                              : CodecSession::makeH264(c.width, c.height, c.fps, rate);
  if (!session) throw EncoderError(ErrorKind::sessionCreateFailed, kStatusLibraryRefused);
  input_ = std::make_unique<EncoderInput>(c.width, c.height, session->acceptsNv12());
  session_ = std::move(session);
  intervalFrames_ = intervalFrames(c.keyframeIntervalSeconds, liveFps_);
  framesSinceKeyframe_ = 0;
  keyframeOwed_ = true;
  nextPts_ = 0;
}

void VideoToolboxEncoder::encode(const PixelBufferRef& buffer, uint64_t captureTimeNs, bool forceKeyframe) {
  std::lock_guard delivery(deliveryMutex_);
  // Reused: once it has grown to the largest access unit, a frame allocates nothing.
  EncodedFrame& frame = output_;
  frame.data.clear();
  {
    std::lock_guard lock(sessionMutex_);
    if (!session_) throw EncoderError(ErrorKind::notStarted, 0);
    // Owed until a keyframe actually leaves, whatever happens to this frame.
    if (forceKeyframe) keyframeOwed_ = true;
    if (!buffer) throw EncoderError(ErrorKind::encodeFailed, kStatusNoBuffer);
    CodecPicture picture;
    if (!input_->prepare(*buffer, picture)) throw EncoderError(ErrorKind::encodeFailed, kStatusConversionFailed);
    const bool idr = keyframeOwed_ || framesSinceKeyframe_ >= intervalFrames_;
    CodecSession::Output out;
    if (session_->encode(picture, nextPts_++, idr, out) < 0) {
      throw EncoderError(ErrorKind::encodeFailed, kStatusEncodeFailed);
    }
    AccessUnit::appendAnnexB(out.lengthPrefixed, config_.codec, frame.data);
    if (frame.data.empty()) {
      ++framesSinceKeyframe_;
      return;
    }
    frame.isKeyframe = out.keyframe;
    frame.captureTimeNs = captureTimeNs;
    if (out.keyframe) {
      keyframeOwed_ = false;
      framesSinceKeyframe_ = 1;
    } else {
      ++framesSinceKeyframe_;
    }
  }
  if (sink) sink(frame);
}

VideoToolboxEncoder::LiveConfigResult VideoToolboxEncoder::applyLiveConfig(std::optional<float> quality,
                                                                           std::optional<int32_t> bitrateBps,
                                                                           std::optional<int32_t> fps) {
  LiveConfigResult result;
  const bool qualityGiven = quality && !std::isnan(*quality);
  const bool bitrateGiven = bitrateBps && *bitrateBps > 0;
  const bool fpsGiven = fps && *fps > 0;
  std::shared_ptr<CodecSession> session;
  float nextQuality = 0;
  int64_t nextBitrate = 0;
  CodecRate rate;
  {
    std::lock_guard lock(sessionMutex_);
    if (!session_) return result;
    if (!qualityGiven && !bitrateGiven && !fpsGiven) return result;
    // The frame rate and the keyframe interval are ours, whatever the library
    // makes of the rate change that follows from them.
    if (fpsGiven) {
      liveFps_ = std::min<int64_t>(*fps, kMaxFps);
      intervalFrames_ = intervalFrames(config_.keyframeIntervalSeconds, liveFps_);
      result.frameRate = true;
    }
    nextQuality = qualityGiven ? std::clamp(*quality, 0.0f, 1.0f) : quality_;
    nextBitrate = bitrateGiven ? *bitrateBps : bitrateBps_;
    rate = rateFor(nextQuality, nextBitrate, liveFps_);
    session = session_;
  }
  // One call with everything: a library may refuse a second change before
  // it has coded a frame with the first. Outside the lock: an HEVC reopen
  // takes a while, and the encoding thread must not wait for it.
  if (session->reconfigure(rate)) {
    std::lock_guard lock(sessionMutex_);
    if (session_ == session) {
      quality_ = nextQuality;
      bitrateBps_ = nextBitrate;
    }
    result.quality = qualityGiven;
    result.bitrate = bitrateGiven;
  }
  return result;
}

void VideoToolboxEncoder::finish() {
  // Zero-latency settings hold no frame back, so only a frame in flight on
  // another thread can still be pending; waiting for delivery covers it.
  std::lock_guard delivery(deliveryMutex_);
}

void VideoToolboxEncoder::stop() {
  std::lock_guard delivery(deliveryMutex_);
  std::lock_guard lock(sessionMutex_);
  session_.reset();
  input_.reset();
}

int64_t VideoToolboxEncoder::keyframeIntervalFrames() const {
  std::lock_guard lock(sessionMutex_);
  return intervalFrames_;
}

}  // namespace lumenrail

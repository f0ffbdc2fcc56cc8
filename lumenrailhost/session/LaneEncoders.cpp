#include "session/LaneEncoders.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <stdexcept>

#include "media/VideoToolboxEncoder.hpp"
#include "wire/SmallLanePolicy.hpp"

namespace lumenrail {

namespace {

const char* codecName(Wire::Codec codec) { return codec == Wire::Codec::hevc ? "hevc" : "h264"; }

std::string fdList(const std::set<int32_t>& fds) {
  std::string text = "[";
  for (int32_t fd : fds) text += (text.size() > 1 ? ", " : "") + std::to_string(fd);
  return text + "]";
}

std::string hardwareWord(const VideoEncoder& encoder) { return encoder.usingHardware() ? "true" : "false"; }

const LaneEncoders::Config& checked(const LaneEncoders::Config& config) {
  if (!config.mainVideo || !config.smallVideo) {
    throw std::invalid_argument("the lane encoders need both lanes' streams");
  }
  return config;
}

}  // namespace

Wire::HelloParams LaneEncoders::hello(const Mode& mode, Wire::Codec codec) {
  Wire::HelloParams h;
  h.codec = codec;
  h.width = static_cast<uint32_t>(mode.width);
  h.height = static_cast<uint32_t>(mode.height);
  h.frameRateNum = static_cast<uint32_t>(mode.fps);
  h.frameRateDen = 1;
  h.bitrateBps = kBitrateBps;
  h.qpcFrequency = kNsPerSecond;
  return h;
}

std::string LaneEncoders::label(const Mode& mode) {
  return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "@" + std::to_string(mode.fps);
}

LaneEncoders::LaneEncoders(Config config)
    : config_(std::move(config)), main_(*checked(config_).mainVideo), small_(*config_.smallVideo) {
  auto encoder = makeEncoder(config_.mode, codec_);
  main_.attach(*encoder);
  main_.setEncoder(std::move(encoder), config_.mode);
}

std::shared_ptr<VideoEncoder> LaneEncoders::makeEncoder(const Mode& mode, Wire::Codec codec) const {
  const VideoEncoder::Config c{static_cast<int32_t>(mode.width), static_cast<int32_t>(mode.height),
                               static_cast<int32_t>(mode.fps), kBitrateBps, codec, 1.0};
  return config_.desktop->makeEncoder(c);
}

// The main lane always has its encoder and mode; only the small lane goes off.
LaneEncoders::Mode LaneEncoders::mode() const { return main_.mode().value_or(config_.mode); }

Wire::Codec LaneEncoders::codec() const {
  std::lock_guard lock(lock_);
  return codec_;
}

std::optional<LaneEncoders::Mode> LaneEncoders::smallMode() const { return small_.mode(); }

void LaneEncoders::startMain() {
  const std::shared_ptr<VideoEncoder> encoder = main_.encoder();
  encoder->start();
  say("[enc] started, hardware=" + hardwareWord(*encoder));
}

void LaneEncoders::stop() {
  const std::shared_ptr<VideoEncoder> main = main_.encoder();
  const std::shared_ptr<VideoEncoder> small = small_.encoder();
  small_.setEncoder(nullptr, std::nullopt);
  main->finish();
  main->stop();
  if (small) {
    small->finish();
    small->stop();
  }
}

// ---- rebuilds ---------------------------------------------------------------------

LaneEncoders::Rebuild LaneEncoders::rebuild(const Mode& m) {
  config_.steps.takeDown(m);
  const std::shared_ptr<VideoEncoder> old = main_.encoder();
  const Wire::Codec codec = this->codec();
  old->finish();
  old->stop();
  std::shared_ptr<VideoEncoder> fresh;
  try {
    fresh = makeEncoder(m, codec);
    main_.attach(*fresh);
    fresh->start();
  } catch (const std::exception& e) {
    say("[m2] encoder restart failed: " + std::string(e.what()));
    return Rebuild::encoderFailed;
  }
  // Frames keep the mode they had until the caller takes the new one on.
  main_.setEncoder(fresh, main_.mode());
  say("[enc] restarted " + label(m) + " " + codecName(codec) + ", hardware=" + hardwareWord(*fresh));
  // The client's settings survive the rebuild, capped by the mode being built.
  if (desired_.fields & Wire::EncoderField::all) broadcastApplied(applySettings(desired_, m));
  return config_.steps.bringUp(m);
}

LaneEncoders::Rebuild LaneEncoders::rebuildOrRestore(const Mode& mode, Wire::Codec codec,
                                                     const std::string& restoring, const std::string& lost) {
  const Mode oldMode = this->mode();
  Wire::Codec oldCodec;
  {
    std::lock_guard lock(lock_);
    oldCodec = codec_;
    codec_ = codec;
  }
  const Rebuild result = rebuild(mode);
  if (result != Rebuild::encoderFailed) {
    main_.setMode(mode);
    if (result == Rebuild::captureDown) config_.steps.captureDown();
    return result;
  }
  say(restoring);
  {
    std::lock_guard lock(lock_);
    codec_ = oldCodec;
  }
  switch (rebuild(oldMode)) {
    case Rebuild::rebuilt:
      break;
    case Rebuild::encoderFailed:
      say(lost);
      break;
    case Rebuild::captureDown:
      config_.steps.captureDown();
      break;
  }
  return result;
}

bool LaneEncoders::negotiateCodec(bool hevcWanted) {
  const Wire::Codec wanted = hevcWanted ? Wire::Codec::hevc : Wire::Codec::h264;
  const Wire::Codec old = codec();
  if (wanted == old) return false;
  say(std::string("[m2] codec ") + codecName(old) + " → " + codecName(wanted) + " (client HEVC decoder " +
      (hevcWanted ? "present" : "gone") + ")");
  // Said before the recovery is armed, as the capture may still be starting.
  const std::string now = std::string("[enc] codec now ") + codecName(wanted);
  const Rebuild result = rebuildOrRestore(
      mode(), wanted,
      std::string("[m2] WARN: ") + codecName(wanted) + " encoder unavailable — reverting to " + codecName(old),
      std::string("[m2] ERROR: could not restore ") + codecName(old) +
          " encoder either — serving nothing until the next reconfigure");
  if (result == Rebuild::rebuilt) say(now);
  if (result == Rebuild::captureDown) say(now + " (capture still starting)");
  return true;
}

// ---- the small lane ----------------------------------------------------------------

void LaneEncoders::updateSmallLane(std::optional<int32_t> primary, const std::map<int32_t, Mode>& panels) {
  const Mode stream = mode();
  const Wire::Codec codec = this->codec();
  const auto plan = SmallLanePolicy::plan(stream, primary, panels);
  const std::shared_ptr<VideoEncoder> current = small_.encoder();
  const std::optional<Mode> currentMode = small_.mode();
  WireServer& server = *config_.server;
  const auto laneOff = [&] {
    server.setSmallLane(std::nullopt, {});
    smallMembers_.clear();
    if (current) retireSmall(current);
  };
  if (!plan) {
    if (current) {
      laneOff();
      say("[m2] small lane off — every client fits " + label(stream));
    }
    return;
  }
  if (current && currentMode == plan->mode && smallCodec_ == codec) {
    server.setSmallLane(hello(plan->mode, codec), plan->members);
    smallMembers_ = plan->members;
    return;
  }
  std::shared_ptr<VideoEncoder> fresh;
  try {
    fresh = makeEncoder(plan->mode, codec);
    small_.attach(*fresh);
    fresh->start();
  } catch (const std::exception& e) {
    say("[m2] WARN: small-lane encoder " + label(plan->mode) + " " + codecName(codec) + " failed: " + e.what() +
        " — secondaries stay on " + label(stream));
    laneOff();
    return;
  }
  if (current) retireSmall(current);
  smallCodec_ = codec;
  server.setSmallLane(hello(plan->mode, codec), plan->members);
  smallMembers_ = plan->members;
  small_.setEncoder(fresh, plan->mode);
  if (desired_.fields & Wire::EncoderField::all) applySmallSettings(desired_, stream.fps);
  say("[m2] small lane " + label(plan->mode) + " " + codecName(codec) + " (main " + label(stream) + ") → fd " +
      fdList(plan->members) + ", hardware=" + hardwareWord(*fresh));
}

void LaneEncoders::retireSmall(const std::shared_ptr<VideoEncoder>& old) {
  small_.dropEncoder(old);
  old->finish();
  old->stop();
}

// ---- encoder settings ---------------------------------------------------------------

void LaneEncoders::settingsChanged() {
  // The merge is read again here: changes reported by two clients' threads
  // can reach the queue in either order, and only the latest merge is true.
  const Wire::EncoderConfigRequest request = config_.server->resolvedEncoderConfig();
  const Mode stream = mode();
  // Knobs no remaining client asks for (its client left, or changed its
  // mind) go back to the stream's own, so nobody inherits them.
  const uint8_t released = desired_.fields & ~request.fields & Wire::EncoderField::all;
  desired_ = request;
  Wire::EncoderConfigRequest effective = request;
  effective.fields |= released;
  if (released & Wire::EncoderField::quality) effective.quality = VideoToolboxEncoder::kDefaultQuality;
  if (released & Wire::EncoderField::fpsCap) effective.fpsCap = stream.fps;
  if (released & Wire::EncoderField::bitrate) effective.bitrateKbps = kBitrateBps / 1000;
  broadcastApplied(applySettings(effective, stream));
}

Wire::EncoderConfigRequest LaneEncoders::applySettings(const Wire::EncoderConfigRequest& request, const Mode& stream) {
  Wire::EncoderConfigRequest applied = Wire::EncoderConfigRequest::none();
  if ((request.fields & Wire::EncoderField::all) == 0) return applied;
  // What is actually tried: a cap of 0 would stop the stream, so it is refused.
  Wire::EncoderConfigRequest tried = request;
  tried.fields &= Wire::EncoderField::all;
  std::optional<float> quality;
  std::optional<int32_t> bitrateBps;
  std::optional<int32_t> fps;
  int64_t kbps = 0;
  int64_t cappedFps = stream.fps;
  if (request.hasQuality()) quality = request.quality;
  if (request.hasBitrate()) {
    if (request.bitrateKbps <= 0) {
      say("[enc] bitrate request " + std::to_string(request.bitrateKbps) + " kbps refused — keeping the current rate");
      tried.fields &= ~Wire::EncoderField::bitrate;
    } else {
      kbps = std::min(request.bitrateKbps, kMaxBitrateKbps);
      if (request.bitrateKbps > kMaxBitrateKbps) {
        say("[enc] bitrate request " + std::to_string(request.bitrateKbps) + " kbps clamped to " +
            std::to_string(kbps) + " — beyond the validated range");
      }
      bitrateBps = static_cast<int32_t>(std::min<int64_t>(kbps * 1000, INT32_MAX));
    }
  }
  if (request.hasFpsCap()) {
    if (request.fpsCap <= 0) {
      say("[enc] fps cap " + std::to_string(request.fpsCap) + " refused — keeping " + std::to_string(stream.fps) +
          " fps");
      tried.fields &= ~Wire::EncoderField::fpsCap;
    } else {
      cappedFps = std::min(stream.fps, request.fpsCap);
      fps = static_cast<int32_t>(cappedFps);
    }
  }
  const std::shared_ptr<VideoEncoder> encoder = main_.encoder();
  VideoEncoder::LiveConfigResult accepted;
  if (quality || bitrateBps || fps) accepted = encoder->applyLiveConfig(quality, bitrateBps, fps);
  if (accepted.frameRate) config_.pump->setPaceHz(cappedFps);
  applySmallSettings(tried, cappedFps);

  if (accepted.quality) {
    applied.fields |= Wire::EncoderField::quality;
    applied.quality = request.quality;
  }
  if (accepted.frameRate) {
    applied.fields |= Wire::EncoderField::fpsCap;
    applied.fpsCap = cappedFps;
  }
  if (accepted.bitrate) {
    applied.fields |= Wire::EncoderField::bitrate;
    applied.bitrateKbps = kbps;
  }
  return applied;
}

void LaneEncoders::applySmallSettings(const Wire::EncoderConfigRequest& request, int64_t mainFps) {
  const std::shared_ptr<VideoEncoder> small = small_.encoder();
  const std::optional<Mode> smallMode = small_.mode();
  // The bit rate is the main stream's; the small lane keeps its own.
  if (!small || !smallMode || !(request.hasQuality() || request.hasFpsCap())) return;
  std::optional<float> quality;
  std::optional<int32_t> fps;
  if (request.hasQuality()) quality = request.quality;
  if (request.hasFpsCap()) fps = static_cast<int32_t>(std::min(smallMode->fps, mainFps));
  small->applyLiveConfig(quality, std::nullopt, fps);
}

void LaneEncoders::broadcastApplied(const Wire::EncoderConfigRequest& applied) {
  std::string text;
  const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (applied.hasQuality()) {
    char q[32];
    std::snprintf(q, sizeof q, "quality %.2f", static_cast<double>(applied.quality));
    add(q);
  }
  if (applied.hasFpsCap()) add("fps≤" + std::to_string(applied.fpsCap));
  if (applied.hasBitrate()) add(std::to_string(applied.bitrateKbps) + " kbps");
  say("[enc] config applied: " + (text.empty() ? std::string("nothing (no knob accepted)") : text));
  config_.server->broadcastEncoderConfigApplied(applied);
}

}  // namespace lumenrail

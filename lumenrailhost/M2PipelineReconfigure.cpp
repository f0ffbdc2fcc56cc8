// Live reconfiguration of a serving session: who owns the display mode, mode
// and codec rebuilds with their rollback, the small lane, client encoder
// settings, extend or mirror, and pen high rate. Everything below the entry
// points runs on reconfigQueue_, one change at a time, in arrival order.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "M2Pipeline.hpp"
#include "input/PenDisplayPolicy.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "wire/MainDeviceArbiter.hpp"
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

}  // namespace

// ---- seams and plumbing -----------------------------------------------------

std::shared_ptr<VideoEncoder> M2Pipeline::makeEncoder(const Mode& mode, Wire::Codec codec) const {
  const VideoEncoder::Config c{static_cast<int32_t>(mode.width), static_cast<int32_t>(mode.height),
                               static_cast<int32_t>(mode.fps), kBitrateBps, codec, 1.0};
  return config_.desktop->makeEncoder(c);
}

std::shared_ptr<DisplayConfiguration> M2Pipeline::openDisplays() const { return config_.desktop->openDisplays(); }

double M2Pipeline::vdHzFor(const Mode& mode, bool penHighRate) const {
  const char* override = std::getenv("LUMENRAIL_VD_HZ");
  return PenDisplayPolicy::virtualDisplayHz(
      mode.fps, penHighRate, override ? std::optional<std::string_view>(override) : std::nullopt);
}

VirtualDisplayManager::Config M2Pipeline::virtualDisplayConfig(const Mode& mode) const {
  VirtualDisplayManager::Config vc;
  vc.name = "Lumenrail Display";
  vc.width = static_cast<uint32_t>(mode.width);
  vc.height = static_cast<uint32_t>(mode.height);
  vc.refreshRate = vdHz(mode);
  vc.widthMillimeters = 345.0;
  vc.heightMillimeters = 194.0;
  return vc;
}

void M2Pipeline::noteDisplayTarget() {
  const uint32_t id = vd_ ? vd_->displayID() : 0;
  vdId_ = id;
  std::lock_guard lock(target_->lock);
  target_->vdId = id;
  target_->width = mode_.width;
  target_->height = mode_.height;
}

void M2Pipeline::holdReconfigurationForStart() {
  // However long the start takes, changes that arrive meanwhile run after it:
  // every way out of a start, a stop and the destructor end the hold.
  reconfigQueue_.async([hold = startHold_] { hold->wait(); });
}

void M2Pipeline::endReconfigurationHold(bool serving) {
  reconfigOpen_ = serving;
  startHold_->signal();
}

void M2Pipeline::quiesceReconfiguration() {
  startHold_->signal();
  reconfigQueue_.sync([] {});
}

void M2Pipeline::postReconfig(std::function<void(M2Pipeline&)> work) {
  reconfigQueue_.async([weak = weak_from_this(), work = std::move(work)] {
    auto self = weak.lock();
    if (!self || !self->reconfigOpen_.load() || self->stopped()) return;
    work(*self);
  });
}

void M2Pipeline::wireReconfiguration(WireServer::Hooks& hooks) {
  const std::weak_ptr<M2Pipeline> weak = weak_from_this();
  WireServer* server = server_.get();
  hooks.onClientMode = [weak](const Wire::ClientMode& request, int32_t fd) {
    if (auto self = weak.lock()) self->requestClientMode(request, fd);
  };
  hooks.onHevcWantedChanged = [weak](bool wanted) {
    if (auto self = weak.lock()) self->postReconfig([wanted](M2Pipeline& p) { p.negotiateCodec(wanted); });
  };
  hooks.onEncoderConfigChanged = [weak](const Wire::EncoderConfigRequest&) {
    auto self = weak.lock();
    if (!self) return;
    self->postReconfig([](M2Pipeline& p) {
      // The merge is read again here: changes reported by two clients' threads
      // can reach the queue in either order, and only the latest merge is true.
      const Wire::EncoderConfigRequest request = p.server_->resolvedEncoderConfig();
      // Knobs no remaining client asks for (its client left, or changed its
      // mind) go back to the stream's own, so nobody inherits them.
      const uint8_t released = p.desiredEncoderConfig_.fields & ~request.fields & Wire::EncoderField::all;
      p.desiredEncoderConfig_ = request;
      Wire::EncoderConfigRequest effective = request;
      effective.fields |= released;
      if (released & Wire::EncoderField::quality) effective.quality = VideoToolboxEncoder::kDefaultQuality;
      if (released & Wire::EncoderField::fpsCap) effective.fpsCap = p.mode_.fps;
      if (released & Wire::EncoderField::bitrate) effective.bitrateKbps = kBitrateBps / 1000;
      p.broadcastApplied(p.applyEncoderConfigToEncoder(effective, p.mode_));
    });
  };
  auto departed = hooks.onClientDisconnected;
  hooks.onClientDisconnected = [departed, weak, server](int32_t fd) {
    if (departed) departed(fd);
    auto self = weak.lock();
    if (!self) return;
    self->clientDeparted(fd);
    if (server->clientCount() == 0) {
      self->postReconfig([](M2Pipeline& p) { p.applyPenHighRatePromotion(false, std::nullopt); });
    }
  };
  auto connected = hooks.onClientConnected;
  hooks.onClientConnected = [connected, weak] {
    if (connected) connected();
    if (auto self = weak.lock()) {
      self->postReconfig([](M2Pipeline& p) { p.applyPenHighRatePromotion(p.penHighRate_.load(), std::nullopt); });
    }
  };
}

// ---- display-mode ownership ---------------------------------------------------

void M2Pipeline::requestClientMode(const Wire::ClientMode& request, int32_t fd) {
  const auto sanitized = ClientModePolicy::sanitize(request);
  if (!sanitized) {
    say("[m2] ClientMode " + std::to_string(request.width) + "x" + std::to_string(request.height) + "@" +
        std::to_string(request.refreshHz) + " rejected (no usable resolution)");
    return;
  }
  postReconfig([fd, wanted = *sanitized](M2Pipeline& p) {
    p.lastMode_[fd] = wanted;
    switch (MainDeviceArbiter::decide(p.primaryClientFd_, fd)) {
      case MainDeviceArbiter::Decision::adopt:
        p.setPrimary(fd);
        p.reconfigure(wanted);
        break;
      case MainDeviceArbiter::Decision::honor:
        p.reconfigure(wanted);
        break;
      case MainDeviceArbiter::Decision::ignore:
        if (wanted != p.mode_) {
          p.say("[m2] ClientMode " + label(wanted) + " from secondary client (fd " + std::to_string(fd) +
                ") — primary (fd " + std::to_string(*p.primaryClientFd_) + ") owns " + label(p.mode_));
        }
        break;
    }
    p.updateSmallLane();
  });
}

void M2Pipeline::setPrimary(std::optional<int32_t> fd) {
  primaryClientFd_ = fd;
  std::optional<std::string> fingerprint;
  if (fd) {
    for (const auto& client : server_->connectedClients()) {
      if (client.fd == *fd) fingerprint = client.fingerprint;
    }
  }
  std::lock_guard lock(mainLock_);
  mainFingerprint_ = fingerprint;
}

void M2Pipeline::clientDeparted(int32_t fd) {
  postReconfig([fd](M2Pipeline& p) {
    std::set<int32_t> live;
    for (const auto& client : p.server_->connectedClients()) live.insert(client.fd);
    // The hook runs before the server forgets the client; it is gone either way.
    live.erase(fd);
    std::erase_if(p.lastMode_, [&](const auto& entry) { return !live.contains(entry.first); });
    if (p.primaryClientFd_ == fd) {
      std::set<int32_t> known;
      for (const auto& [known_fd, mode] : p.lastMode_) known.insert(known_fd);
      const auto next = MainDeviceArbiter::promote(live, known);
      if (!next) {
        p.setPrimary(std::nullopt);
        p.say("[m2] primary client (fd " + std::to_string(fd) + ") disconnected — display-mode lock released");
      } else {
        p.setPrimary(next);
        p.say("[m2] primary client (fd " + std::to_string(fd) + ") disconnected — display-mode lock → fd " +
              std::to_string(*next));
        if (auto it = p.lastMode_.find(*next); it != p.lastMode_.end()) p.reconfigure(it->second);
      }
    }
    p.updateSmallLane();
  });
}

void M2Pipeline::setMainDevice(const std::string& fingerprint) {
  postReconfig([fingerprint](M2Pipeline& p) {
    std::optional<int32_t> pick;
    for (const auto& client : p.server_->connectedClients()) {
      if (client.fingerprint == fingerprint && (!pick || client.fd < *pick)) pick = client.fd;
    }
    if (!pick) {
      p.say("[m2] set-main ignored — " + fingerprint + " has no live connection");
      return;
    }
    p.setPrimary(pick);
    p.say("[m2] display-mode lock → fd " + std::to_string(*pick) + " (" + fingerprint + ", host pick)");
    if (auto it = p.lastMode_.find(*pick); it != p.lastMode_.end()) p.reconfigure(it->second);
    p.updateSmallLane();
  });
}

// ---- mode rebuilds --------------------------------------------------------------

void M2Pipeline::reconfigure(const Mode& to) {
  if (to == mode_) {
    say("[m2] ClientMode matches current " + label(mode_) + " — no change");
    return;
  }
  const Mode old = mode_;
  say("[m2] reconfiguring " + label(old) + " → " + label(to));
  const auto adopt = [this](const Mode& m) {
    {
      std::lock_guard lock(encoderLock_);
      mode_ = m;
    }
    noteDisplayTarget();
    server_->resetViewport();
  };
  switch (rebuildPipeline(to)) {
    case RebuildResult::rebuilt:
      adopt(to);
      say("[m2] now capturing + serving " + label(to));
      return;
    case RebuildResult::captureDown:
      adopt(to);
      say("[m2] serving " + label(to) + " — capture still starting");
      armCaptureRecovery();
      return;
    case RebuildResult::encoderFailed:
      break;
  }
  say("[m2] WARN: reconfigure failed — restoring " + label(old));
  switch (rebuildPipeline(old)) {
    case RebuildResult::rebuilt:
      return;
    case RebuildResult::encoderFailed:
      say("[m2] ERROR: could not restore the previous mode's encoder either — serving nothing until the next "
          "reconfigure");
      return;
    case RebuildResult::captureDown:
      armCaptureRecovery();
      return;
  }
}

M2Pipeline::RebuildResult M2Pipeline::rebuildPipeline(const Mode& m) {
  stopCapture();
  pump_->reset(std::pair{m.width, m.height});
  pump_->setPaceHz(m.fps);

  std::shared_ptr<VideoEncoder> fresh;
  std::shared_ptr<VideoEncoder> old;
  {
    std::lock_guard lock(encoderLock_);
    old = encoder_;
  }
  old->finish();
  old->stop();
  try {
    fresh = makeEncoder(m, codec_);
    attachSink(*fresh);
    fresh->start();
  } catch (const std::exception& e) {
    say("[m2] encoder restart failed: " + std::string(e.what()));
    return RebuildResult::encoderFailed;
  }
  {
    std::lock_guard lock(encoderLock_);
    encoder_ = fresh;
  }
  say("[enc] restarted " + label(m) + " " + codecName(codec_) + ", hardware=" + hardwareWord(*fresh));
  // The client's settings survive the rebuild, capped by the mode being built.
  if (desiredEncoderConfig_.fields & Wire::EncoderField::all) {
    broadcastApplied(applyEncoderConfigToEncoder(desiredEncoderConfig_, m));
  }

  if (!captureMain_.load() && vd_) {
    const double rate = vdHzFor(m, penHighRate_.load());
    if (vd_->applyMode(static_cast<uint32_t>(m.width), static_cast<uint32_t>(m.height), rate)) {
      say("[m2] virtual display " + std::to_string(vd_->displayID()) + " mode → " + vdLabel(m));
    } else {
      say("[m2] virtual display applyMode failed — recreating");
      vd_->destroy();
      penHighRateApplied_ = false;
      if (vd_->create(virtualDisplayConfig(m))) {
        say("[m2] virtual display recreated (id " + std::to_string(vd_->displayID()) + ")");
      } else {
        say("[m2] WARN: virtual display recreate failed — capturing main display (mirror)");
        vd_.reset();
        captureMain_ = true;
      }
      noteDisplayTarget();
    }
    if (vd_) applyPenHighRatePromotion(penHighRate_.load() && server_->clientCount() > 0, m);
  }

  server_->rebroadcastHello(hello(m, codec_));
  switch (startCapture(m, 3)) {
    case CaptureStart::started:
      return RebuildResult::rebuilt;
    case CaptureStart::timedOut:
      say("[m2] capture restart timed out");
      return RebuildResult::captureDown;
    case CaptureStart::failed:
      say("[m2] capture restart failed: " + lastCaptureError_);
      return RebuildResult::captureDown;
    case CaptureStart::aborted:
      return RebuildResult::captureDown;
  }
  return RebuildResult::captureDown;
}

void M2Pipeline::armCaptureRecovery() {
  // One chain of recovery ticks at a time; the first tick comes after 1 s.
  if (stopped()) return;
  ++captureRecoveryRequests_;
  if (captureRecoveryArmed_) return;
  captureRecoveryArmed_ = true;
  captureRecoveryAttempt_ = 0;
  armCaptureRecoveryTick(1.0);
}

// ---- codec --------------------------------------------------------------------

void M2Pipeline::negotiateCodec(bool hevcWanted) {
  const Wire::Codec wanted = hevcWanted ? Wire::Codec::hevc : Wire::Codec::h264;
  const Wire::Codec old = codec_;
  if (wanted == old) return;
  say(std::string("[m2] codec ") + codecName(old) + " → " + codecName(wanted) + " (client HEVC decoder " +
      (hevcWanted ? "present" : "gone") + ")");
  codec_ = wanted;
  switch (rebuildPipeline(mode_)) {
    case RebuildResult::rebuilt:
      say(std::string("[enc] codec now ") + codecName(wanted));
      break;
    case RebuildResult::captureDown:
      say(std::string("[enc] codec now ") + codecName(wanted) + " (capture still starting)");
      armCaptureRecovery();
      break;
    case RebuildResult::encoderFailed:
      say(std::string("[m2] WARN: ") + codecName(wanted) + " encoder unavailable — reverting to " + codecName(old));
      codec_ = old;
      switch (rebuildPipeline(mode_)) {
        case RebuildResult::rebuilt:
          break;
        case RebuildResult::encoderFailed:
          say(std::string("[m2] ERROR: could not restore ") + codecName(old) +
              " encoder either — serving nothing until the next reconfigure");
          break;
        case RebuildResult::captureDown:
          armCaptureRecovery();
          break;
      }
      break;
  }
  updateSmallLane();
}

// ---- small lane -----------------------------------------------------------------

void M2Pipeline::attachSmallSink(VideoEncoder& encoder) {
  const auto server = server_;
  encoder.sink = [server](const EncodedFrame& frame) {
    server->broadcast(frame.captureTimeNs, frame.isKeyframe, frame.data, Lane::small);
  };
}

void M2Pipeline::updateSmallLane() {
  const auto plan = SmallLanePolicy::plan(mode_, primaryClientFd_, lastMode_);
  std::shared_ptr<VideoEncoder> current;
  std::optional<Mode> currentMode;
  {
    std::lock_guard lock(encoderLock_);
    current = smallEncoder_;
    currentMode = smallMode_;
  }
  const auto laneOff = [&] {
    server_->setSmallLane(std::nullopt, {});
    smallMembers_.clear();
    if (current) retireSmallEncoder(current);
  };
  if (!plan) {
    if (current) {
      laneOff();
      say("[m2] small lane off — every client fits " + label(mode_));
    }
    return;
  }
  if (current && currentMode == plan->mode && smallCodec_ == codec_) {
    server_->setSmallLane(hello(plan->mode, codec_), plan->members);
    smallMembers_ = plan->members;
    return;
  }
  std::shared_ptr<VideoEncoder> fresh;
  try {
    fresh = makeEncoder(plan->mode, codec_);
    attachSmallSink(*fresh);
    fresh->start();
  } catch (const std::exception& e) {
    say("[m2] WARN: small-lane encoder " + label(plan->mode) + " " + codecName(codec_) + " failed: " + e.what() +
        " — secondaries stay on " + label(mode_));
    laneOff();
    return;
  }
  if (current) retireSmallEncoder(current);
  smallCodec_ = codec_;
  server_->setSmallLane(hello(plan->mode, codec_), plan->members);
  smallMembers_ = plan->members;
  {
    std::lock_guard lock(encoderLock_);
    smallEncoder_ = fresh;
    smallMode_ = plan->mode;
  }
  if (desiredEncoderConfig_.fields & Wire::EncoderField::all) {
    applyEncoderConfigToSmallLane(desiredEncoderConfig_, mode_.fps);
  }
  say("[m2] small lane " + label(plan->mode) + " " + codecName(codec_) + " (main " + label(mode_) + ") → fd " +
      fdList(plan->members) + ", hardware=" + hardwareWord(*fresh));
}

void M2Pipeline::retireSmallEncoder(const std::shared_ptr<VideoEncoder>& old) {
  {
    std::lock_guard lock(encoderLock_);
    if (smallEncoder_ == old) {
      smallEncoder_.reset();
      smallMode_.reset();
    }
  }
  old->finish();
  old->stop();
}

void M2Pipeline::stopSmallLane() {
  std::shared_ptr<VideoEncoder> small;
  {
    std::lock_guard lock(encoderLock_);
    small = std::move(smallEncoder_);
    smallEncoder_.reset();
    smallMode_.reset();
  }
  if (!small) return;
  small->finish();
  small->stop();
}

void M2Pipeline::encodeSmallLane(const PixelBufferRef& frame, uint64_t captureNs, bool keyframe,
                                 const std::shared_ptr<VideoEncoder>& smallEncoder,
                                 const std::optional<Mode>& smallMode) {
  if (!smallEncoder || !smallMode) return;
  smallKeyframeOwed_ = smallKeyframeOwed_ || keyframe;
  const uint64_t minGapNs = (kNsPerSecond / static_cast<uint64_t>(std::max<int64_t>(smallMode->fps, 1))) * 9 / 10;
  if (!smallKeyframeOwed_ && captureNs - lastSmallEncodeNs_ < minGapNs) return;
  // The cropped frame, so the small lane shows the same viewport.
  auto scaled = smallScaler_.scale(frame, smallMode->width, smallMode->height);
  if (!scaled) return;
  lastSmallEncodeNs_ = captureNs;
  const bool key = smallKeyframeOwed_;
  smallKeyframeOwed_ = false;
  try {
    smallEncoder->encode(scaled, captureNs, key);
  } catch (const std::exception&) {
    // One lost small-lane frame.
  }
}

// ---- encoder settings -----------------------------------------------------------

Wire::EncoderConfigRequest M2Pipeline::applyEncoderConfigToEncoder(const Wire::EncoderConfigRequest& request,
                                                                   const Mode& stream) {
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
  std::shared_ptr<VideoEncoder> encoder;
  {
    std::lock_guard lock(encoderLock_);
    encoder = encoder_;
  }
  VideoEncoder::LiveConfigResult accepted;
  if (quality || bitrateBps || fps) accepted = encoder->applyLiveConfig(quality, bitrateBps, fps);
  if (accepted.frameRate) pump_->setPaceHz(cappedFps);
  applyEncoderConfigToSmallLane(tried, cappedFps);

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

void M2Pipeline::applyEncoderConfigToSmallLane(const Wire::EncoderConfigRequest& request, int64_t mainFps) {
  std::shared_ptr<VideoEncoder> small;
  std::optional<Mode> smallMode;
  {
    std::lock_guard lock(encoderLock_);
    small = smallEncoder_;
    smallMode = smallMode_;
  }
  // The bit rate is the main stream's; the small lane keeps its own.
  if (!small || !smallMode || !(request.hasQuality() || request.hasFpsCap())) return;
  std::optional<float> quality;
  std::optional<int32_t> fps;
  if (request.hasQuality()) quality = request.quality;
  if (request.hasFpsCap()) fps = static_cast<int32_t>(std::min(smallMode->fps, mainFps));
  small->applyLiveConfig(quality, std::nullopt, fps);
}

void M2Pipeline::broadcastApplied(const Wire::EncoderConfigRequest& applied) {
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
  server_->broadcastEncoderConfigApplied(applied);
}

// ---- extend or mirror, pen high rate --------------------------------------------

void M2Pipeline::setCaptureMain(bool on) {
  postReconfig([on](M2Pipeline& p) { p.applyCaptureMain(on); });
}

void M2Pipeline::applyCaptureMain(bool on) {
  const auto name = [](bool mirror) { return std::string(mirror ? "mirror" : "extend"); };
  const bool wasMirror = captureMain_.load();
  if (on == wasMirror) {
    say("[m2] display mode already " + name(on) + " — no change");
    return;
  }
  say("[m2] display mode " + name(wasMirror) + " → " + name(on));
  stopCapture();
  pump_->reset(std::pair{mode_.width, mode_.height});
  if (!on) {
    std::shared_ptr<DisplayConfiguration> displays;
    {
      std::lock_guard lock(target_->lock);
      displays = target_->displays;
    }
    if (!vd_ && displays) {
      vd_ = std::make_unique<VirtualDisplayManager>(displays, log_);
      if (vd_->create(virtualDisplayConfig(mode_), 4)) {
        say("[m2] virtual display " + std::to_string(vd_->displayID()) + " created (" + vdLabel(mode_) + ")");
      } else {
        vd_.reset();
      }
    }
    if (!vd_) say("[m2] WARN: virtual display create failed — staying on mirror");
  } else if (vd_) {
    // Removing the display also puts the old main display back.
    vd_->destroy();
    vd_.reset();
  }
  if (!vd_) penHighRateApplied_ = false;
  // What is really captured: a failed switch to extend stays on mirror.
  captureMain_ = !vd_;
  noteDisplayTarget();
  if (vd_) applyPenHighRatePromotion(penHighRate_.load() && server_->clientCount() > 0, std::nullopt);
  server_->rebroadcastHello(hello(mode_, codec_));
  if (startCapture(mode_, 3) == CaptureStart::started) {
    say("[m2] now capturing " + std::string(vd_ ? "virtual display (extend) " : "main display (mirror) ") +
        label(mode_));
  } else {
    say("[m2] WARN: capture restart after mode switch failed");
    armCaptureRecovery();
  }
}

void M2Pipeline::setPenHighRate(bool on) {
  postReconfig([on](M2Pipeline& p) {
    if (on == p.penHighRate_.load()) return;
    p.penHighRate_ = on;
    p.say(on ? "[pen] high-rate pen mode ON" : "[pen] high-rate pen mode OFF");
    p.applyPenHighRatePromotion(on && p.server_->clientCount() > 0, std::nullopt);
  });
}

void M2Pipeline::applyPenHighRatePromotion(bool on, std::optional<Mode> forMode) {
  if (!vd_ || captureMain_.load() || on == penHighRateApplied_) return;
  const Mode m = forMode.value_or(mode_);
  const auto w = static_cast<uint32_t>(m.width);
  const auto h = static_cast<uint32_t>(m.height);
  if (on) {
    const double rate = vdHzFor(m, true);
    vd_->applyMode(w, h, rate);
    if (!vd_->makeMain()) {
      say("[pen] high-rate: main-display promotion REFUSED by WindowServer");
      return;
    }
    penHighRateApplied_ = true;
    say("[pen] high-rate: Lumenrail display is now main at " + std::to_string(static_cast<int64_t>(rate)) +
        " Hz — pen delivery ceiling follows it");
  } else {
    vd_->restoreMain();
    vd_->applyMode(w, h, vdHzFor(m, false));
    penHighRateApplied_ = false;
    say("[pen] high-rate: main display restored");
  }
}

// ---- getters ----------------------------------------------------------------------

std::vector<std::string> M2Pipeline::connectedClientNames() const {
  std::vector<std::string> names;
  for (const auto& client : server_->connectedClients()) {
    if (!client.name.empty()) names.push_back(client.name);
  }
  return names;
}

bool M2Pipeline::hasNetworkClient() const {
  const auto clients = server_->connectedClients();
  return std::any_of(clients.begin(), clients.end(), [](const auto& c) { return c.overNetwork; });
}

std::set<std::string> M2Pipeline::connectedFingerprints() const {
  std::set<std::string> fingerprints;
  for (const auto& client : server_->connectedClients()) {
    if (client.fingerprint) fingerprints.insert(*client.fingerprint);
  }
  return fingerprints;
}

std::optional<std::string> M2Pipeline::mainFingerprint() const {
  std::lock_guard lock(mainLock_);
  return mainFingerprint_;
}

M2Pipeline::ReconfigState M2Pipeline::reconfigState() {
  return reconfigQueue_.sync([this] {
    ReconfigState state;
    state.mode = mode_;
    state.codec = codec_;
    state.captureMain = captureMain_.load();
    state.primary = primaryClientFd_;
    state.lastModes = lastMode_;
    {
      std::lock_guard lock(encoderLock_);
      state.smallMode = smallMode_;
    }
    state.smallMembers = smallMembers_;
    state.penHighRate = penHighRate_.load();
    state.penHighRateApplied = penHighRateApplied_;
    state.vdId = vd_ ? vd_->displayID() : 0;
    state.desiredEncoderConfig = desiredEncoderConfig_;
    state.captureRecoveryRequests = captureRecoveryRequests_;
    return state;
  });
}

}  // namespace lumenrail

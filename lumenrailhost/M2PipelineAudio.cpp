// System-audio passthrough of a serving session: on while "--audio" is given
// and some client wants audio, AAC-LC and 16-bit PCM side by side.
#include <string_view>
#include <tuple>
#include <utility>

#include "M2Pipeline.hpp"

namespace lumenrail {

namespace {

constexpr uint64_t kSourceStartGraceNs = 2 * kNsPerSecond;

std::string withError(std::string line, const std::optional<std::string>& error) {
  if (error) line += ": " + *error;
  return line;
}

}  // namespace

void M2Pipeline::wireAudio(WireServer::Hooks& hooks) {
  const std::weak_ptr<M2Pipeline> weak = weak_from_this();
  hooks.onAudioWantedChanged = [weak](bool wanted) {
    if (auto self = weak.lock()) self->postReconfig([wanted](M2Pipeline& p) { p.audioWantedChanged(wanted); });
  };
}

std::shared_ptr<SystemAudioSource> M2Pipeline::makeAudio(SystemAudioRoute route) const {
  AudioRequest request;
  request.sampleRate = kAudioSampleRate;
  request.channels = kAudioChannels;
  request.displayID = vdId_.load();
  return config_.desktop->makeAudio(route, request, log_);
}

void M2Pipeline::audioWantedChanged(bool wanted) {
  const bool running = audioSource_ || audioTapBox_;
  if (wanted && !running) {
    if (audioEnabled_) startAudio();
  } else if (wanted) {
    // A client that joins a running passthrough needs the decoder setup too.
    sendAacConfig();
  } else if (running) {
    stopAudio();
  }
}

void M2Pipeline::sendAacConfig() {
  if (!aacConfig_) return;
  server_->broadcastAudio(uptimeNs(), Wire::AudioCodec::aacLC, true, static_cast<uint8_t>(kAudioChannels),
                          static_cast<uint32_t>(kAudioSampleRate), *aacConfig_);
}

void M2Pipeline::startAudio() {
  if (stopped()) return;
  const auto server = server_;
  const Log::Sink log = log_;
  // Each route gets its own pair: a tap that gave up late may still be
  // delivering while the fallback runs, and neither is thread-safe.
  const auto packaging = [server, log] {
    auto aac = std::make_shared<AacEncoder>(kAudioSampleRate, kAudioChannels);
    aac->onAac = [server](ByteView data, uint64_t captureNs) {
      server->broadcastAudio(captureNs, Wire::AudioCodec::aacLC, false, static_cast<uint8_t>(kAudioChannels),
                             static_cast<uint32_t>(kAudioSampleRate), data);
    };
    auto pcm = std::make_shared<PcmS16Packer>();
    pcm->log = log;
    PcmS16Packer* packer = pcm.get();  // the callback's owner; a shared_ptr here would be a cycle
    pcm->onPcm = [server, packer](ByteView data, uint64_t captureNs) {
      server->broadcastAudio(captureNs, Wire::AudioCodec::pcmS16, false, static_cast<uint8_t>(packer->channels()),
                             static_cast<uint32_t>(packer->sampleRate()), data);
    };
    return std::pair{aac, pcm};
  };
  auto [aac, pcm] = packaging();
  // Sent before any sample can flow, so AAC clients see it first.
  aacConfig_ = aac->decoderConfiguration();
  sendAacConfig();

  if (!audioForceSck_) {
    if (startAudioTap(aac, pcm)) {
      if (!audioTapBox_) aacConfig_.reset();  // the session stopped during the start
      return;
    }
    std::tie(aac, pcm) = packaging();
  }

  auto source = makeAudio(SystemAudioRoute::screenCapture);
  auto gate = std::make_shared<FrameGate>();
  routeSamples(*source, aac, pcm, gate, "[audio] capture stopped");
  std::string error;
  switch (startAudioSource(source, gate, error)) {
    case AudioStart::started:
      aac_ = aac;
      audioSource_ = source;
      audioGate_ = gate;
      say("[audio] passthrough started via SCK (" + std::to_string(kAudioSampleRate) + "Hz " +
          std::to_string(kAudioChannels) + "ch) — a client asked for it");
      return;
    case AudioStart::timedOut:
      say("[audio] capture did not start within " +
          std::to_string(config_.audioStartWaitNs / kNsPerSecond) + "s — sound server unreachable / headless?");
      break;
    case AudioStart::failed:
      say("[audio] capture start failed: " + error);
      break;
    case AudioStart::aborted:
      break;
  }
  aacConfig_.reset();
}

bool M2Pipeline::startAudioTap(const std::shared_ptr<AacEncoder>& aac, const std::shared_ptr<PcmS16Packer>& pcm) {
  auto source = makeAudio(SystemAudioRoute::processTap);
  auto gate = std::make_shared<FrameGate>();
  routeSamples(*source, aac, pcm, gate, "[audio] tap capture stopped");
  std::string error;
  switch (startAudioSource(source, gate, error)) {
    case AudioStart::started:
      aac_ = aac;
      audioTapBox_ = source;
      audioGate_ = gate;
      say("[audio] passthrough started via process tap (" + std::to_string(kAudioSampleRate) + "Hz " +
          std::to_string(kAudioChannels) + "ch) — a client asked for it");
      return true;
    case AudioStart::timedOut:
      error = "did not start within " + std::to_string(config_.audioStartWaitNs / kNsPerSecond) + "s";
      [[fallthrough]];
    case AudioStart::failed:
      say("[audio] process tap unavailable (" + error + ") — falling back to SCK");
      return false;
    case AudioStart::aborted:
      // The session is stopping: the fallback would only be stopped again.
      return true;
  }
  return false;
}

void M2Pipeline::routeSamples(SystemAudioSource& source, const std::shared_ptr<AacEncoder>& aac,
                              const std::shared_ptr<PcmS16Packer>& pcm, const std::shared_ptr<FrameGate>& gate,
                              const std::string& stopLine) {
  const auto server = server_;
  source.onPCM = [server, aac, pcm, gate](const AudioSampleBuffer& buffer, uint64_t captureNs) {
    if (!gate->open.load()) return;
    if (server->audioPcmWanted()) pcm->pack(buffer, captureNs);
    if (server->audioAacWanted()) aac->encode(buffer, captureNs);
  };
  const std::weak_ptr<M2Pipeline> weak = weak_from_this();
  source.onStop = [weak, gate, stopLine](std::optional<std::string> error) {
    // A source the session stopped itself has its gate closed first.
    if (!gate->open.load()) return;
    auto self = weak.lock();
    if (!self) return;
    self->say(withError(stopLine, error));
    self->postReconfig([gate](M2Pipeline& p) {
      // Only the run that reported it: a newer one may have replaced it.
      if (p.audioGate_ != gate) return;
      p.stopAudioSource(p.audioTapBox_ ? p.audioTapBox_ : p.audioSource_);
      p.aac_.reset();
      p.aacConfig_.reset();
      p.audioWantedChanged(p.server_->audioWanted());
    });
  };
}

M2Pipeline::AudioStart M2Pipeline::startAudioSource(const std::shared_ptr<SystemAudioSource>& source,
                                                    const std::shared_ptr<FrameGate>& gate, std::string& error) {
  auto box = std::make_shared<StartBox>();
  {
    // Audio and capture starts both run on reconfigQueue_, one at a time, so
    // they share the slot that stopServing() cancels.
    std::lock_guard lock(stopFlagLock_);
    if (servingStopped_) return AudioStart::aborted;
    pendingStart_ = box;
  }
  const uint64_t waitNs = config_.audioStartWaitNs;
  const Log::Sink log = log_;
  NamedThread thread("lumenrail-audio-start", [box, source, gate, waitNs, log] {
    std::exception_ptr failure;
    try {
      // The session's wait below decides the time-out; the source's own bound
      // is longer, so a silent server reads as a time-out, never as a failure.
      source->start(waitNs + kSourceStartGraceNs);
    } catch (...) {
      failure = std::current_exception();
    }
    if (box->finish(failure) && !failure) {
      gate->open = false;
      source->stop();
      log("[audio] capture started after its wait gave up — stopped it again");
    }
  });
  keepStartThread(std::move(thread));

  const StartWait wait = awaitStart(box, waitNs);
  if (!wait.done) {
    gate->open = false;
    return wait.cancelled ? AudioStart::aborted : AudioStart::timedOut;
  }
  if (wait.error) {
    gate->open = false;
    error = describeError(wait.error);
    return AudioStart::failed;
  }
  if (stopped()) {
    // Started just as the session stopped: nothing may feed the clients now.
    gate->open = false;
    source->stop();
    return AudioStart::aborted;
  }
  return AudioStart::started;
}

void M2Pipeline::stopAudioSource(std::shared_ptr<SystemAudioSource>& slot) {
  auto source = std::move(slot);
  slot.reset();
  if (audioGate_) audioGate_->open = false;
  audioGate_.reset();
  source->stop();
}

void M2Pipeline::stopAudio() {
  for (auto* slot : {&audioTapBox_, &audioSource_}) {
    if (!*slot) continue;
    aac_.reset();
    aacConfig_.reset();
    stopAudioSource(*slot);
    say("[audio] passthrough stopped — no client wants it");
  }
}

void M2Pipeline::stopAudioForTeardown() {
  // A start still blocked is joined (bounded) with the other start threads.
  reconfigQueue_.sync([this] { stopAudio(); });
}

}  // namespace lumenrail

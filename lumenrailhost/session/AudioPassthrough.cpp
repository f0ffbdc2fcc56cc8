#include "session/AudioPassthrough.hpp"

#include <tuple>
#include <utility>

namespace lumenrail {

namespace {

constexpr uint64_t kSourceStartGraceNs = 2 * kNsPerSecond;

std::string withError(std::string line, const std::optional<std::string>& error) {
  if (error) line += ": " + *error;
  return line;
}

}  // namespace

std::shared_ptr<AudioPassthrough> AudioPassthrough::create(Config config) {
  return std::shared_ptr<AudioPassthrough>(new AudioPassthrough(std::move(config)));
}

std::shared_ptr<SystemAudioSource> AudioPassthrough::make(SystemAudioRoute route) const {
  AudioRequest request;
  request.sampleRate = kSampleRate;
  request.channels = kChannels;
  request.displayID = config_.displayID ? config_.displayID() : 0;
  return config_.desktop->makeAudio(route, request, config_.log);
}

void AudioPassthrough::wantedChanged(bool wanted) {
  if (wanted && !running()) {
    if (config_.enabled) start();
  } else if (wanted) {
    // A client that joins a running passthrough needs the decoder setup too.
    sendAacConfig();
  } else if (running()) {
    stop();
  }
}

void AudioPassthrough::sendAacConfig() {
  if (!aacConfig_) return;
  config_.server->broadcastAudio(uptimeNs(), Wire::AudioCodec::aacLC, true, static_cast<uint8_t>(kChannels),
                                 static_cast<uint32_t>(kSampleRate), *aacConfig_);
}

void AudioPassthrough::start() {
  if (config_.waits->stopped()) return;
  const auto server = config_.server;
  const Log::Sink log = config_.log;
  // Each route gets its own pair: a tap that gave up late may still be
  // delivering while the fallback runs, and neither is thread-safe.
  const auto packaging = [server, log] {
    auto aac = std::make_shared<AacEncoder>(kSampleRate, kChannels);
    aac->onAac = [server](ByteView data, uint64_t captureNs) {
      server->broadcastAudio(captureNs, Wire::AudioCodec::aacLC, false, static_cast<uint8_t>(kChannels),
                             static_cast<uint32_t>(kSampleRate), data);
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

  if (!config_.forceSck) {
    if (startTap(aac, pcm)) {
      if (!tap_) aacConfig_.reset();  // the session stopped during the start
      return;
    }
    std::tie(aac, pcm) = packaging();
  }

  auto source = make(SystemAudioRoute::screenCapture);
  auto gate = std::make_shared<Gate>();
  route(*source, aac, pcm, gate, "[audio] capture stopped");
  std::string error;
  switch (startSource(source, gate, error)) {
    case Start::started:
      aac_ = aac;
      source_ = source;
      gate_ = gate;
      say("[audio] passthrough started via the default sink's monitor (" + std::to_string(kSampleRate) + "Hz " + std::to_string(kChannels) +
          "ch) — a client asked for it");
      return;
    case Start::timedOut:
      say("[audio] capture did not start within " + std::to_string(config_.startWaitNs / kNsPerSecond) +
          "s — sound server unreachable / headless?");
      break;
    case Start::failed:
      say("[audio] capture start failed: " + error);
      break;
    case Start::aborted:
      break;
  }
  aacConfig_.reset();
}

bool AudioPassthrough::startTap(const std::shared_ptr<AacEncoder>& aac, const std::shared_ptr<PcmS16Packer>& pcm) {
  auto source = make(SystemAudioRoute::processTap);
  auto gate = std::make_shared<Gate>();
  route(*source, aac, pcm, gate, "[audio] tap capture stopped");
  std::string error;
  switch (startSource(source, gate, error)) {
    case Start::started:
      aac_ = aac;
      tap_ = source;
      gate_ = gate;
      say("[audio] passthrough started via process tap (" + std::to_string(kSampleRate) + "Hz " +
          std::to_string(kChannels) + "ch) — a client asked for it");
      return true;
    case Start::timedOut:
      error = "did not start within " + std::to_string(config_.startWaitNs / kNsPerSecond) + "s";
      [[fallthrough]];
    case Start::failed:
      say("[audio] process tap unavailable (" + error + ") — falling back to the default sink's monitor");
      return false;
    case Start::aborted:
      // The session is stopping: the fallback would only be stopped again.
      return true;
  }
  return false;
}

void AudioPassthrough::route(SystemAudioSource& source, const std::shared_ptr<AacEncoder>& aac,
                             const std::shared_ptr<PcmS16Packer>& pcm, const std::shared_ptr<Gate>& gate,
                             const std::string& stopLine) {
  source.onPCM = [server = config_.server, aac, pcm, gate](const AudioSampleBuffer& buffer, uint64_t captureNs) {
    if (!gate->open.load()) return;
    if (server->audioPcmWanted()) pcm->pack(buffer, captureNs);
    if (server->audioAacWanted()) aac->encode(buffer, captureNs);
  };
  source.onStop = [weak = weak_from_this(), gate, stopLine](std::optional<std::string> error) {
    // A source stopped here has its gate closed first.
    if (!gate->open.load()) return;
    auto self = weak.lock();
    if (!self) return;
    self->say(withError(stopLine, error));
    self->config_.post([weak, gate] {
      auto p = weak.lock();
      // Only the run that reported it: a newer one may have replaced it.
      if (!p || p->gate_ != gate) return;
      p->stopSource(p->tap_ ? p->tap_ : p->source_);
      p->aac_.reset();
      p->aacConfig_.reset();
      p->wantedChanged(p->config_.server->audioWanted());
    });
  };
}

AudioPassthrough::Start AudioPassthrough::startSource(const std::shared_ptr<SystemAudioSource>& source,
                                                      const std::shared_ptr<Gate>& gate, std::string& error) {
  const uint64_t waitNs = config_.startWaitNs;
  const auto result = config_.waits->start(
      "lumenrail-audio-start",
      // The wait here decides the time-out; the source's own bound is longer,
      // so a silent server reads as a time-out, never as a failure.
      [source, waitNs] { source->start(waitNs + kSourceStartGraceNs); },
      [source, gate, log = config_.log] {
        gate->open = false;
        source->stop();
        log("[audio] capture started after its wait gave up — stopped it again");
      },
      waitNs);
  if (result.outcome != BoundedWaits::Outcome::done) {
    gate->open = false;
    return result.outcome == BoundedWaits::Outcome::cancelled ? Start::aborted : Start::timedOut;
  }
  if (result.error) {
    gate->open = false;
    error = Log::describe(result.error);
    return Start::failed;
  }
  if (config_.waits->stopped()) {
    // Started just as the session stopped: nothing may feed the clients now.
    gate->open = false;
    source->stop();
    return Start::aborted;
  }
  return Start::started;
}

void AudioPassthrough::stopSource(std::shared_ptr<SystemAudioSource>& slot) {
  auto source = std::move(slot);
  slot.reset();
  if (gate_) gate_->open = false;
  gate_.reset();
  source->stop();
}

void AudioPassthrough::stop() {
  for (auto* slot : {&tap_, &source_}) {
    if (!*slot) continue;
    aac_.reset();
    aacConfig_.reset();
    stopSource(*slot);
    say("[audio] passthrough stopped — no client wants it");
  }
}

}  // namespace lumenrail

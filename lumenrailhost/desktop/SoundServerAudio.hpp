#pragma once

#include <memory>
#include <optional>
#include <string>

#include "media/AudioCaptureSource.hpp"
#include "media/ProcessTapCaptureSource.hpp"
#include "media/SystemAudioSource.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// Puts one of the two sound-server captures behind the session's interface.
template <typename Capture>
class SoundServerAudio final : public SystemAudioSource {
 public:
  template <typename Config>
  SoundServerAudio(Config config, const Log::Sink& log) : capture_(std::move(config)) {
    capture_.log = log;
  }
  void start(uint64_t timeoutNs) override {
    // Set once before the capture runs; the capture stops calling them in stop().
    capture_.onPCM = [this](const AudioSampleBuffer& buffer, uint64_t ns) {
      if (onPCM) onPCM(buffer, ns);
    };
    capture_.onStop = [this](std::optional<std::string> error) {
      if (onStop) onStop(std::move(error));
    };
    capture_.start(timeoutNs);
  }
  void stop() override { capture_.stop(); }

 private:
  Capture capture_;
};

// System audio from the sound server (PulseAudio, or PipeWire's pulse
// server): both desktops hear it the same way.
inline std::shared_ptr<SystemAudioSource> makeSoundServerAudio(SystemAudioRoute route, int64_t sampleRate,
                                                               int64_t channels, uint32_t displayID,
                                                               const Log::Sink& log) {
  if (route == SystemAudioRoute::processTap) {
    ProcessTapCaptureSource::Config tap;
    tap.bufferFrames = 256;
    return std::make_shared<SoundServerAudio<ProcessTapCaptureSource>>(tap, log);
  }
  AudioCaptureSource::Config config;
  config.sampleRate = sampleRate;
  config.channels = channels;
  config.targetDisplayID = displayID;
  return std::make_shared<SoundServerAudio<AudioCaptureSource>>(config, log);
}

}  // namespace lumenrail

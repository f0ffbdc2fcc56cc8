#pragma once

// System-audio passthrough of a serving session: on while "--audio" is given
// and some client wants audio, captured through the process tap (or the
// simple route when that fails or "--audio-sck" is given), sent as AAC-LC and
// 16-bit PCM side by side, as the clients ask. Runs on the session's queue.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "desktop/DesktopEnvironment.hpp"
#include "media/AacEncoder.hpp"
#include "media/PcmS16Packer.hpp"
#include "media/SystemAudioSource.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "session/BoundedWaits.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

class AudioPassthrough final : public std::enable_shared_from_this<AudioPassthrough> {
 public:
  struct Config {
    std::shared_ptr<DesktopEnvironment> desktop;
    std::shared_ptr<WireServer> server;
    std::shared_ptr<BoundedWaits> waits;
    // Runs work on the session's queue (and drops it once serving stopped).
    std::function<void(std::function<void()>)> post;
    Log::Sink log;
    bool enabled = false;   // "--audio"
    bool forceSck = false;  // "--audio-sck"
    uint64_t startWaitNs = 8 * kNsPerSecond;
    std::function<uint32_t()> displayID;  // the captured display, 0: the main one
  };

  static constexpr int64_t kSampleRate = 48000;
  static constexpr int64_t kChannels = 2;

  static std::shared_ptr<AudioPassthrough> create(Config config);
  AudioPassthrough(const AudioPassthrough&) = delete;
  AudioPassthrough& operator=(const AudioPassthrough&) = delete;

  // The decision on a change of the clients' audio wish.
  void wantedChanged(bool wanted);
  void stop();
  bool running() const { return source_ || tap_; }

 private:
  enum class Start { started, timedOut, failed, aborted };
  // Closed before a source is stopped, so a late buffer goes nowhere.
  struct Gate {
    std::atomic<bool> open{true};
  };

  explicit AudioPassthrough(Config config) : config_(std::move(config)) {}
  void start();
  bool startTap(const std::shared_ptr<AacEncoder>& aac, const std::shared_ptr<PcmS16Packer>& pcm);
  std::shared_ptr<SystemAudioSource> make(SystemAudioRoute route) const;
  // Hands each buffer to the packer and/or the encoder the clients want.
  void route(SystemAudioSource& source, const std::shared_ptr<AacEncoder>& aac,
             const std::shared_ptr<PcmS16Packer>& pcm, const std::shared_ptr<Gate>& gate, const std::string& stopLine);
  Start startSource(const std::shared_ptr<SystemAudioSource>& source, const std::shared_ptr<Gate>& gate,
                    std::string& error);
  void sendAacConfig();
  void stopSource(std::shared_ptr<SystemAudioSource>& slot);
  void say(const std::string& line) const { config_.log(line); }

  const Config config_;
  std::shared_ptr<SystemAudioSource> source_;  // the simple capture route
  std::shared_ptr<SystemAudioSource> tap_;     // the process-tap route
  std::shared_ptr<AacEncoder> aac_;
  std::shared_ptr<Gate> gate_;
  std::optional<Bytes> aacConfig_;
};

}  // namespace lumenrail

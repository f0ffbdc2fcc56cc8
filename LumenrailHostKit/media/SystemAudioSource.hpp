#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "media/AudioSampleBuffer.hpp"

namespace lumenrail {

// The two ways the session can capture system audio: a record stream of its
// own on the default sink's monitor that follows default-sink changes (the
// preferred route), or the simple blocking capture of the same monitor.
enum class SystemAudioRoute { processTap, screenCapture };

// What the serving session needs of a system-audio capture, so it can run
// over the sound server in production and over a synthetic source in tests.
class SystemAudioSource {
 public:
  virtual ~SystemAudioSource() = default;

  // Set before start(). `onPCM` runs on the source's delivery thread with the
  // capture time; `onStop` is told when the capture ends by itself.
  std::function<void(const AudioSampleBuffer&, uint64_t)> onPCM;
  std::function<void(std::optional<std::string>)> onStop;

  // Returns once audio flows; throws with a readable what() otherwise.
  virtual void start(uint64_t timeoutNs) = 0;
  // Nothing reaches `onPCM` or `onStop` after this returns; bounded.
  virtual void stop() = 0;
};

}  // namespace lumenrail

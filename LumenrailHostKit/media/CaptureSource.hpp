#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "media/PixelBuffer.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// What the serving session needs of a screen capture, so it can be built over
// the X11 capture in production and over fakes in tests.
class CaptureSource {
 public:
  // Buffer and capture time (the clock read after the copy).
  using FrameHandler = std::function<void(const PixelBufferRef&, uint64_t)>;
  // Told when the capture ends by itself (display gone, server gone).
  using StopHandler = std::function<void(std::exception_ptr)>;

  virtual ~CaptureSource() = default;

  virtual void start() = 0;
  virtual void stop() = 0;
  virtual PixelBufferRef captureOneShot() = 0;
  virtual std::optional<uint64_t> probeContentHash() = 0;
  virtual uint64_t lastDeliveryNs() const = 0;
  virtual uint64_t deliveryCount() const = 0;
  // What delivers the frames, as the log names it ("the X server").
  virtual std::string frameOrigin() const { return "the capture"; }
  // Whether captureOneShot() grabs the screen now, rather than hand back the
  // last frame delivered (a screen cast sends frames only on change).
  virtual bool grabsOnDemand() const { return true; }
  // How often a running capture counts a delivery on a still screen too (an
  // alive check its server answered); 0 when a still screen delivers nothing.
  virtual uint64_t aliveCheckNs() const { return 0; }
  // Whether the capture still holds its session while its server does not
  // answer (a paused compositor keeps its bus name and its screen cast).
  // Such a capture is waited for: made anew, it would lose what the session
  // holds, a virtual monitor and the windows on it.
  virtual bool holdsSessionWhileSilent() const { return false; }

  // Set before start().
  FrameHandler onFrame;
  StopHandler onStop;
  Log::Sink log;  // the drop line; standard output when unset
};

}  // namespace lumenrail

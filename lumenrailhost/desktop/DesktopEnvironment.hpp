#pragma once

// The desktop services a serving session runs on, made by one factory: the
// session asks for what it needs and never reaches the X server, the input
// devices or the sound server itself. X11DesktopEnvironment is the X11,
// uinput/XTest and PulseAudio one; the session tests run over a fake.

#include <cstdint>
#include <memory>
#include <string>

#include "input/ForegroundAppWatcher.hpp"
#include "input/InputEventSink.hpp"
#include "input/KeyboardLayoutSource.hpp"
#include "input/WindowActivator.hpp"
#include "media/CaptureSource.hpp"
#include "media/PixelBuffer.hpp"
#include "media/SystemAudioSource.hpp"
#include "media/VideoEncoder.hpp"
#include "platform/DisplayConfiguration.hpp"
#include "platform/Log.hpp"
#include "ports/HostPermissions.hpp"
#include "ports/SleepAssertion.hpp"

namespace lumenrail {

// What the session wants captured, whatever captures it.
struct CaptureRequest {
  int64_t width = 0;
  int64_t height = 0;
  int64_t fps = 0;
  uint32_t displayID = 0;  // 0: the main display
  bool showsCursor = true;
  PixelFormat pixelFormat = PixelFormat::nv12FullRange;
  bool operator==(const CaptureRequest&) const = default;
};

// What the session wants of system audio.
struct AudioRequest {
  int64_t sampleRate = 48000;
  int64_t channels = 2;
  uint32_t displayID = 0;  // the streamed display, 0 when mirroring
  bool operator==(const AudioRequest&) const = default;
};

// Called from the session's start path, its reconfiguration queue and its
// construction; an implementation needs no lock of its own for that.
class DesktopEnvironment {
 public:
  virtual ~DesktopEnvironment() = default;

  virtual std::shared_ptr<CaptureSource> makeCapture(const CaptureRequest& request) = 0;
  virtual std::shared_ptr<VideoEncoder> makeEncoder(const VideoEncoder::Config& config) = 0;
  // The arrangement of the desktop's displays, where virtual displays are
  // added. Throws (with a readable what()) when the desktop cannot be reached.
  virtual std::shared_ptr<DisplayConfiguration> openDisplays() = 0;
  // `log` gets the source's own status lines.
  virtual std::shared_ptr<SystemAudioSource> makeAudio(SystemAudioRoute route, const AudioRequest& request,
                                                       const Log::Sink& log) = 0;

  // Where pen, touch and key events go; nothing when none can be posted.
  // `log` says which device was chosen and why.
  virtual std::shared_ptr<InputEventSink> makeInputSink(const Log::Sink& log) = 0;
  // Nothing when windows cannot be found or activated.
  virtual std::shared_ptr<WindowActivator> makeWindowActivator() = 0;
  virtual std::shared_ptr<ForegroundAppSource> makeForegroundSource() = 0;
  // Nothing: fixed US key positions only.
  virtual std::unique_ptr<KeyboardLayoutSource> makeKeyboardLayout() = 0;
  // The main display's refresh rate, which paces pen moves.
  virtual double mainDisplayRefreshHz() = 0;
  // Whether this process may post input on the desktop at all.
  virtual bool mayPostInput() = 0;
  // Why input cannot be posted, and what would let it (empty: nothing the
  // user can do), for the warning that input is dropped.
  struct NoInput {
    std::string reason;
    std::string remedy;
  };
  virtual NoInput whyNoInput() = 0;

  // What the tray application holds while it serves, and the grants it
  // shows, as this desktop gives them; made before any session starts.
  virtual std::shared_ptr<SleepAssertion> makeDisplayAwake(const std::string& reason) = 0;
  virtual std::shared_ptr<HostPermissions::Probe> makePermissionProbe() = 0;
  // Cuts every connection of the process to this kind of display server (X,
  // or the session bus on GNOME), so every call still waiting on one returns:
  // for a stop that the server holds up. Any thread, while others are inside.
  virtual void cutConnections() = 0;
};

}  // namespace lumenrail

#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "desktop/DesktopEnvironment.hpp"

namespace lumenrail {

class GnomeDisplayConfiguration;
class MutterCaptureSource;

// The desktop services on GNOME Wayland, all through Mutter's D-Bus services:
// screen casts captured from PipeWire (a virtual monitor for extend, the
// primary monitor for mirror), DisplayConfig for the arrangement, the
// capture's remote-desktop session for input, xkbcommon on the session's
// input sources; the software encoders and the sound server as on X11. The
// foreground application cannot be known on Wayland.
class GnomeDesktopEnvironment final : public DesktopEnvironment {
 public:
  struct Config {
    std::string busAddress;      // empty: the session bus
    std::string pipewireRemote;  // empty: $XDG_RUNTIME_DIR/pipewire-0
  };

  explicit GnomeDesktopEnvironment(Config config);
  ~GnomeDesktopEnvironment() override;

  std::shared_ptr<CaptureSource> makeCapture(const CaptureRequest& request) override;
  std::shared_ptr<VideoEncoder> makeEncoder(const VideoEncoder::Config& config) override;
  std::shared_ptr<DisplayConfiguration> openDisplays() override;
  std::shared_ptr<SystemAudioSource> makeAudio(SystemAudioRoute route, const AudioRequest& request,
                                               const Log::Sink& log) override;
  std::shared_ptr<InputEventSink> makeInputSink(const Log::Sink& log) override;
  std::shared_ptr<WindowActivator> makeWindowActivator() override;
  std::shared_ptr<ForegroundAppSource> makeForegroundSource() override;
  std::unique_ptr<KeyboardLayoutSource> makeKeyboardLayout() override;
  double mainDisplayRefreshHz() override;
  bool mayPostInput() override;
  NoInput whyNoInput() override;
  std::shared_ptr<SleepAssertion> makeDisplayAwake(const std::string& reason) override;
  std::shared_ptr<HostPermissions::Probe> makePermissionProbe() override;
  void cutConnections() override;

  // What the session streams now, for the input sink; shared with the captures.
  struct Streaming;

 private:
  std::shared_ptr<GnomeDisplayConfiguration> displays();

  const Config config_;
  std::mutex lock_;  // guards displays_
  std::shared_ptr<GnomeDisplayConfiguration> displays_;
  const std::shared_ptr<Streaming> streaming_;
};

}  // namespace lumenrail

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "desktop/DesktopEnvironment.hpp"

namespace lumenrail {

// The desktop services on Linux: XCB capture and RandR displays of one X
// display, the software encoders, PulseAudio for system audio, uinput (or
// XTest) for input, EWMH for windows and xkbcommon for the layout.
class X11DesktopEnvironment final : public DesktopEnvironment {
 public:
  // `xDisplay` is ":N"; empty means $DISPLAY. Nothing is opened yet.
  explicit X11DesktopEnvironment(std::string xDisplay) : xDisplay_(std::move(xDisplay)) {}

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

  // Why the X display `xDisplay` (empty: $DISPLAY) cannot be opened; nothing
  // when it can.
  static std::optional<std::string> whyUnreachable(const std::string& xDisplay);

  const std::string& xDisplay() const { return xDisplay_; }

 private:
  const std::string xDisplay_;
};

}  // namespace lumenrail

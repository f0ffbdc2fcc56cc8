#include "desktop/x11/X11DesktopEnvironment.hpp"

#include <filesystem>

#include "desktop/SoundServerAudio.hpp"
#include "desktop/x11/DisplaySleepAssertion.hpp"
#include "desktop/x11/LinuxPermissionProbe.hpp"
#include "desktop/x11/ScreenCaptureSource.hpp"
#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "desktop/x11/XDesktopInput.hpp"
#include "input/InputPermission.hpp"
#include "input/XkbKeyboardLayout.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "platform/Clock.hpp"
#include "platform/Paths.hpp"
#include "platform/X11Display.hpp"
#include "ports/HostPermissions.hpp"

namespace lumenrail {

std::shared_ptr<CaptureSource> X11DesktopEnvironment::makeCapture(const CaptureRequest& request) {
  ScreenCaptureSource::Config config;
  config.width = request.width;
  config.height = request.height;
  config.fps = request.fps;
  config.targetDisplayID = request.displayID;
  config.showsCursor = request.showsCursor;
  config.pixelFormat = request.pixelFormat;
  config.xDisplay = xDisplay_;
  return std::make_shared<ScreenCaptureSource>(config);
}

std::shared_ptr<VideoEncoder> X11DesktopEnvironment::makeEncoder(const VideoEncoder::Config& config) {
  return std::make_shared<VideoToolboxEncoder>(config);
}

std::shared_ptr<DisplayConfiguration> X11DesktopEnvironment::openDisplays() {
  return X11DisplayConfiguration::open(xDisplay_);
}

std::shared_ptr<SystemAudioSource> X11DesktopEnvironment::makeAudio(SystemAudioRoute route,
                                                                      const AudioRequest& request,
                                                                      const Log::Sink& log) {
  return makeSoundServerAudio(route, request.sampleRate, request.channels, request.displayID, log);
}

std::shared_ptr<InputEventSink> X11DesktopEnvironment::makeInputSink(const Log::Sink& log) {
  return XDesktopInput::openSink(xDisplay_, log);
}

std::shared_ptr<WindowActivator> X11DesktopEnvironment::makeWindowActivator() {
  return XWindowActivator::open(xDisplay_);
}

std::shared_ptr<ForegroundAppSource> X11DesktopEnvironment::makeForegroundSource() {
  return std::make_shared<XForegroundSource>(xDisplay_);
}

std::unique_ptr<KeyboardLayoutSource> X11DesktopEnvironment::makeKeyboardLayout() {
  return XkbKeyboardLayout::desktopSource(xDisplay_);
}

double X11DesktopEnvironment::mainDisplayRefreshHz() { return XDesktopInput::mainDisplayRefreshHz(xDisplay_); }

bool X11DesktopEnvironment::mayPostInput() { return InputPermission::mayPostInput(xDisplay_); }

DesktopEnvironment::NoInput X11DesktopEnvironment::whyNoInput() {
  std::error_code ignored;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", ignored).string();
  return {"neither /dev/uinput writable nor XTest",
          "Grant it once with `" + HostPermissions::grantCommand(executable, Paths::runningInstalled()) +
              "`, or serve an X server with XTest."};
}

std::shared_ptr<SleepAssertion> X11DesktopEnvironment::makeDisplayAwake(const std::string& reason) {
  return std::make_shared<DisplaySleepAssertion>(reason, xDisplay_);
}

std::shared_ptr<HostPermissions::Probe> X11DesktopEnvironment::makePermissionProbe() {
  return std::make_shared<LinuxPermissionProbe>(xDisplay_);
}

void X11DesktopEnvironment::cutConnections() { X11Connections::cutAll(); }

std::optional<std::string> X11DesktopEnvironment::whyUnreachable(const std::string& xDisplay) {
  // A server that takes this long to let a client in would not serve a stream either.
  return X11Display::whyUnreachable(xDisplay, 5 * kNsPerSecond);
}

}  // namespace lumenrail

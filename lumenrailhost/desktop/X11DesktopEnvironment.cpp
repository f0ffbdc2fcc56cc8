#include "desktop/X11DesktopEnvironment.hpp"

#include "input/InputPermission.hpp"
#include "input/XDesktopInput.hpp"
#include "input/XkbKeyboardLayout.hpp"
#include "media/AudioCaptureSource.hpp"
#include "media/ProcessTapCaptureSource.hpp"
#include "media/ScreenCaptureSource.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "platform/X11DisplayConfiguration.hpp"

namespace lumenrail {

namespace {

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

}  // namespace

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
  if (route == SystemAudioRoute::processTap) {
    ProcessTapCaptureSource::Config tap;
    tap.bufferFrames = 256;
    return std::make_shared<SoundServerAudio<ProcessTapCaptureSource>>(tap, log);
  }
  AudioCaptureSource::Config config;
  config.sampleRate = request.sampleRate;
  config.channels = request.channels;
  config.targetDisplayID = request.displayID;
  return std::make_shared<SoundServerAudio<AudioCaptureSource>>(config, log);
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

}  // namespace lumenrail

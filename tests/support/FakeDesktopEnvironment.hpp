#pragma once

// A desktop that exists only in memory, for the serving session's tests: its
// encoders, captures and displays record what they were asked and refuse or
// stall on request; its input sink keeps every event posted to it.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include "desktop/DesktopEnvironment.hpp"
#include "platform/Clock.hpp"
#include "platform/OneShotEvent.hpp"
#include "support/RecordingSink.hpp"
#include "support/Waiting.hpp"

namespace lumenrail::test {

// What the fakes were asked to do, and what they refuse.
struct Bank {
  std::mutex mutex;
  std::set<Wire::Codec> failingCodecs;
  std::set<int32_t> failingWidths;
  int failingCaptureStarts = 0;
  std::vector<VideoEncoder::Config> startedEncoders;
  struct Live {
    VideoEncoder::Config encoder;
    std::optional<float> quality;
    std::optional<int32_t> bitrateBps;
    std::optional<int32_t> fps;
  };
  std::vector<Live> liveCalls;
  std::vector<CaptureRequest> startedCaptures;
  // Capture health: what the fake captures report and how their starts behave.
  std::vector<std::shared_ptr<CaptureSource>> madeCaptures;
  int stoppedCaptures = 0;
  std::optional<uint64_t> contentHash;
  bool hashChangesEachProbe = false;
  std::vector<uint64_t> probeTimes;
  bool oneShotWorks = true;
  // Captures made from now on hand back their last frame as a screen cast does.
  std::atomic<bool> screenCast{false};
  // Captures that count an alive check this often, and hold their session while silent.
  std::atomic<uint64_t> aliveCheckNs{0};
  std::atomic<bool> holdsSession{false};
  int oneShots = 0;
  std::atomic<uint64_t> deliveries{0};
  std::atomic<uint64_t> lastDeliveryNs{0};
  std::atomic<bool> hangStarts{false};
  OneShotEvent releaseHungStarts;
  // A one-shot grab stuck in the display server until released.
  std::atomic<bool> hangOneShots{false};
  OneShotEvent oneShotEntered;
  OneShotEvent releaseOneShots;
  NowNs now = [] { return uint64_t{0}; };

  size_t encoderCount() {
    std::lock_guard lock(mutex);
    return startedEncoders.size();
  }
  std::vector<Live> live() {
    std::lock_guard lock(mutex);
    return liveCalls;
  }
  std::vector<CaptureRequest> captures() {
    std::lock_guard lock(mutex);
    return startedCaptures;
  }
  std::vector<std::shared_ptr<CaptureSource>> made() {
    std::lock_guard lock(mutex);
    return madeCaptures;
  }
  int stopped() {
    std::lock_guard lock(mutex);
    return stoppedCaptures;
  }
  int oneShotCount() {
    std::lock_guard lock(mutex);
    return oneShots;
  }
  std::vector<uint64_t> probes() {
    std::lock_guard lock(mutex);
    return probeTimes;
  }
};

class FakeEncoder final : public VideoEncoder {
 public:
  FakeEncoder(Config config, std::shared_ptr<Bank> bank) : config_(config), bank_(std::move(bank)) {}
  void start() override {
    std::lock_guard lock(bank_->mutex);
    if (bank_->failingCodecs.count(config_.codec) || bank_->failingWidths.count(config_.width)) {
      throw std::runtime_error("fake encoder refused");
    }
    bank_->startedEncoders.push_back(config_);
    started_ = true;
  }
  void encode(const PixelBufferRef&, uint64_t captureTimeNs, bool forceKeyframe) override {
    if (!started_) throw std::runtime_error("not started");
    if (sink) sink(EncodedFrame{Bytes{0, 0, 0, 1, 0x65}, forceKeyframe, captureTimeNs});
  }
  LiveConfigResult applyLiveConfig(std::optional<float> quality, std::optional<int32_t> bitrateBps,
                                   std::optional<int32_t> fps) override {
    if (!started_) return {};
    std::lock_guard lock(bank_->mutex);
    bank_->liveCalls.push_back({config_, quality, bitrateBps, fps});
    return {quality.has_value(), bitrateBps && *bitrateBps > 0, fps && *fps > 0};
  }
  void finish() override {}
  void stop() override { started_ = false; }
  Wire::Codec codec() const override { return config_.codec; }
  bool usingHardware() const override { return false; }

 private:
  const Config config_;
  const std::shared_ptr<Bank> bank_;
  std::atomic<bool> started_{false};
};

class FakeCapture final : public CaptureSource {
 public:
  FakeCapture(CaptureRequest config, std::shared_ptr<Bank> bank)
      : config_(std::move(config)), bank_(std::move(bank)) {}
  void start() override {
    if (bank_->hangStarts.load()) bank_->releaseHungStarts.waitFor(kDeadlineNs);
    std::lock_guard lock(bank_->mutex);
    if (bank_->failingCaptureStarts > 0) {
      --bank_->failingCaptureStarts;
      throw std::runtime_error("fake capture refused");
    }
    bank_->startedCaptures.push_back(config_);
  }
  void stop() override {
    std::lock_guard lock(bank_->mutex);
    ++bank_->stoppedCaptures;
  }
  PixelBufferRef captureOneShot() override {
    if (bank_->hangOneShots.load()) {
      bank_->oneShotEntered.signal();
      bank_->releaseOneShots.waitFor(kDeadlineNs);
    }
    std::lock_guard lock(bank_->mutex);
    ++bank_->oneShots;
    if (!bank_->oneShotWorks) return nullptr;
    return PixelBuffer::make(PixelFormat::nv12FullRange, config_.width, config_.height);
  }
  std::optional<uint64_t> probeContentHash() override {
    std::lock_guard lock(bank_->mutex);
    bank_->probeTimes.push_back(bank_->now());
    if (bank_->contentHash && bank_->hashChangesEachProbe) ++*bank_->contentHash;
    return bank_->contentHash;
  }
  uint64_t lastDeliveryNs() const override { return bank_->lastDeliveryNs.load(); }
  uint64_t deliveryCount() const override { return bank_->deliveries.load(); }
  bool grabsOnDemand() const override { return !screenCast_; }
  uint64_t aliveCheckNs() const override { return bank_->aliveCheckNs.load(); }
  bool holdsSessionWhileSilent() const override { return bank_->holdsSession.load(); }

 private:
  const CaptureRequest config_;
  const std::shared_ptr<Bank> bank_;
  const bool screenCast_ = bank_->screenCast.load();
};

// One physical 1920x1080 display (id 1); virtual displays are added right of it.
class FakeDisplays final : public DisplayConfiguration {
 public:
  std::optional<uint32_t> addVirtualDisplay(const VirtualDisplayRequest& request, std::string& failure) override {
    std::lock_guard lock(mutex);
    if (failAdds) {
      failure = "the screen cannot grow";
      return std::nullopt;
    }
    const uint32_t id = nextId++;
    displays[id] = {1920, 0, request.width, request.height};
    return id;
  }
  bool setVirtualMode(uint32_t id, uint32_t width, uint32_t height, double) override {
    std::lock_guard lock(mutex);
    if (id == 1 || !displays.count(id)) return false;
    displays[id].width = width;
    displays[id].height = height;
    return true;
  }
  bool removeVirtualDisplay(uint32_t id) override {
    std::lock_guard lock(mutex);
    if (id == 1 || !displays.erase(id)) return false;
    if (main == id) main = 1;
    return true;
  }
  uint32_t mainDisplay() override {
    std::lock_guard lock(mutex);
    return main;
  }
  std::optional<DisplayBounds> bounds(uint32_t id) override {
    std::lock_guard lock(mutex);
    if (!displays.count(id)) return std::nullopt;
    return displays[id];
  }
  std::vector<uint32_t> activeDisplays() override {
    std::lock_guard lock(mutex);
    std::vector<uint32_t> ids;
    for (auto& [id, b] : displays) ids.push_back(id);
    return ids;
  }
  std::optional<uint32_t> mirrorOf(uint32_t) override { return std::nullopt; }
  bool configure(const std::vector<DisplayPlacement>& placements) override {
    std::lock_guard lock(mutex);
    for (const auto& p : placements) {
      if (!displays.count(p.id)) return false;
    }
    for (const auto& p : placements) {
      displays[p.id].x = p.x;
      displays[p.id].y = p.y;
      if (p.x == 0 && p.y == 0) main = p.id;
    }
    return true;
  }

  std::mutex mutex;
  std::map<uint32_t, DisplayBounds> displays{{1, {0, 0, 1920, 1080}}};
  uint32_t main = 1;
  uint32_t nextId = 40;
  bool failAdds = false;
};

class FixedForeground final : public ForegroundAppSource {
 public:
  std::optional<std::string> frontmostAppId() override { return "org.example.Sketch"; }
};

class FakeDesktopEnvironment final : public DesktopEnvironment {
 public:
  using AudioMaker =
      std::function<std::shared_ptr<SystemAudioSource>(SystemAudioRoute, const AudioRequest&, const Log::Sink&)>;

  ~FakeDesktopEnvironment() override {
    std::lock_guard lock(bank->mutex);
    bank->madeCaptures.clear();  // the captures hold the bank
  }

  std::shared_ptr<CaptureSource> makeCapture(const CaptureRequest& request) override {
    auto capture = std::make_shared<FakeCapture>(request, bank);
    std::lock_guard lock(bank->mutex);
    bank->madeCaptures.push_back(capture);
    return capture;
  }
  std::shared_ptr<VideoEncoder> makeEncoder(const VideoEncoder::Config& config) override {
    return std::make_shared<FakeEncoder>(config, bank);
  }
  std::shared_ptr<DisplayConfiguration> openDisplays() override { return displays; }
  std::shared_ptr<SystemAudioSource> makeAudio(SystemAudioRoute route, const AudioRequest& request,
                                               const Log::Sink& log) override {
    if (!audio) throw std::runtime_error("this desktop has no sound");
    return audio(route, request, log);
  }
  std::shared_ptr<InputEventSink> makeInputSink(const Log::Sink&) override { return sink; }
  std::shared_ptr<WindowActivator> makeWindowActivator() override { return nullptr; }
  std::shared_ptr<ForegroundAppSource> makeForegroundSource() override { return std::make_shared<FixedForeground>(); }
  std::unique_ptr<KeyboardLayoutSource> makeKeyboardLayout() override { return nullptr; }
  double mainDisplayRefreshHz() override { return 60.0; }
  bool mayPostInput() override { return inputAllowed.load(); }
  NoInput whyNoInput() override { return {"fake: input refused", ""}; }
  // The tray's products; no session test takes them.
  std::shared_ptr<SleepAssertion> makeDisplayAwake(const std::string&) override { return nullptr; }
  std::shared_ptr<HostPermissions::Probe> makePermissionProbe() override { return nullptr; }
  void cutConnections() override {}

  std::shared_ptr<Bank> bank = std::make_shared<Bank>();
  std::shared_ptr<FakeDisplays> displays = std::make_shared<FakeDisplays>();
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  AudioMaker audio;  // set before the session is made
  std::atomic<bool> inputAllowed{true};
};

}  // namespace lumenrail::test

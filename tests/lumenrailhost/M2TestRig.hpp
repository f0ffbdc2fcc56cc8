#pragma once

// The serving session over fake capture, encoders, displays and advertiser:
// the fakes record what they were asked and refuse or stall on request.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "M2Pipeline.hpp"
#include "platform/OneShotEvent.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail::test {

using Mode = M2Pipeline::Mode;

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
  std::vector<ScreenCaptureSource::Config> startedCaptures;
  // Capture health: what the fake captures report and how their starts behave.
  std::vector<std::shared_ptr<CaptureSource>> madeCaptures;
  int stoppedCaptures = 0;
  std::optional<uint64_t> contentHash;
  bool hashChangesEachProbe = false;
  std::vector<uint64_t> probeTimes;
  bool oneShotWorks = true;
  int oneShots = 0;
  std::atomic<uint64_t> deliveries{0};
  std::atomic<uint64_t> lastDeliveryNs{0};
  std::atomic<bool> hangStarts{false};
  OneShotEvent releaseHungStarts;
  NowNs now = [] { return uint64_t{0}; };

  size_t encoderCount() {
    std::lock_guard lock(mutex);
    return startedEncoders.size();
  }
  std::vector<Live> live() {
    std::lock_guard lock(mutex);
    return liveCalls;
  }
  std::vector<ScreenCaptureSource::Config> captures() {
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
  FakeCapture(ScreenCaptureSource::Config config, std::shared_ptr<Bank> bank)
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

 private:
  const ScreenCaptureSource::Config config_;
  const std::shared_ptr<Bank> bank_;
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

class QuietPublisher final : public ServicePublisher {
 public:
  void publish(const std::string&, const std::string&, const std::string&, uint16_t, const TxtRecord&) override {}
  void updateTxt(const TxtRecord&) override {}
  void stop() override {}
};

// Holds a capture start on its way in, while armed.
struct StartGate {
  std::atomic<bool> armed{false};
  OneShotEvent entered;
  OneShotEvent release;
};

struct Rig {
  EventLog log;
  std::shared_ptr<StartGate> gate = std::make_shared<StartGate>();
  std::shared_ptr<Bank> bank = std::make_shared<Bank>();
  std::shared_ptr<FakeDisplays> displays = std::make_shared<FakeDisplays>();
  std::shared_ptr<M2Pipeline> pipeline;

  explicit Rig(Mode mode = {640, 480, 30}, bool captureMain = true, bool penHighRate = false,
               const std::function<void(M2Pipeline::Config&)>& adjust = {}) {
    M2Pipeline::Config c;
    c.mode = mode;
    c.port = 0;
    c.captureMain = captureMain;
    c.penHighRate = penHighRate;
    c.xDisplay = ":987654";  // nothing of X is reached: the seams below stand in
    c.log = [this](const std::string& line) { log.add(line); };
    c.publisherFactory = [](ServicePublisher::Listener) { return std::make_unique<QuietPublisher>(); };
    auto bankRef = bank;
    c.makeEncoder = [bankRef](const VideoEncoder::Config& ec) { return std::make_shared<FakeEncoder>(ec, bankRef); };
    c.makeCapture = [bankRef](const ScreenCaptureSource::Config& sc) {
      auto capture = std::make_shared<FakeCapture>(sc, bankRef);
      std::lock_guard lock(bankRef->mutex);
      bankRef->madeCaptures.push_back(capture);
      return capture;
    };
    auto displaysRef = displays;
    c.openDisplays = [displaysRef](const std::string&) { return displaysRef; };
    c.beforeCaptureStart = [gate = gate] {
      if (!gate->armed.load()) return;
      gate->entered.signal();
      gate->release.waitFor(kDeadlineNs);
    };
    if (adjust) adjust(c);
    pipeline = M2Pipeline::create(std::move(c));
  }
  ~Rig() {
    bank->releaseHungStarts.signal();
    pipeline->stopServing();
    std::lock_guard lock(bank->mutex);
    bank->madeCaptures.clear();  // the captures hold the bank
  }

  bool start() { return pipeline->startServing(); }
  M2Pipeline::ReconfigState state() { return pipeline->reconfigState(); }
  bool waitState(const std::function<bool(const M2Pipeline::ReconfigState&)>& holds) {
    return eventually([&] { return holds(state()); });
  }
  WireTestClient connect() {
    WireTestClient client(pipeline->boundPort());
    EXPECT_TRUE(client.readUntil(test::Code::hello).has_value());
    // The Hello is queued before the server registers the session; the first
    // Advisory only after it, so from here the session counts this client.
    EXPECT_TRUE(client.readUntil(test::Code::advisory).has_value());
    return client;
  }
};

}  // namespace lumenrail::test

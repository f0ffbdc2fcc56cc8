// Audio passthrough of the serving session over loopback, fed by a synthetic
// tone source through the session's audio seam, and once by the real route
// on a private sound server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <future>

#include "SessionTestRig.hpp"
#include "desktop/x11/X11DesktopEnvironment.hpp"
#include "platform/OneShotEvent.hpp"
#include "session/M2Pipeline.hpp"
#include "support/EventLog.hpp"
#include "support/PrivatePulse.hpp"
#include "support/TestAudio.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail {
namespace {

using test::WireTestClient;
constexpr uint32_t kWantsAudio = 2, kWantsPcm = 8;

// Delivers tone buffers when the test says so; refuses or holds its start on request.
class ToneSource final : public SystemAudioSource {
 public:
  ToneSource(SystemAudioRoute route, std::shared_ptr<OneShotEvent> hold, bool refuse)
      : route(route), hold_(std::move(hold)), refuse_(refuse) {}
  void start(uint64_t) override {
    entered.signal();
    if (hold_) hold_->waitFor(test::kDeadlineNs);
    if (refuse_) throw std::runtime_error("synthetic source refused");
    std::lock_guard lock(mutex_);
    running_ = true;
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    running_ = false;
    stopped_ = true;
  }
  bool deliver(const AudioSampleBuffer& buffer, uint64_t captureNs) {
    std::lock_guard lock(mutex_);
    if (!running_) return false;
    onPCM(buffer, captureNs);
    return true;
  }
  void endByItself(const std::string& why) { onStop(why); }
  bool running() {
    std::lock_guard lock(mutex_);
    return running_;
  }
  bool stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
  }

  const SystemAudioRoute route;
  OneShotEvent entered;

 private:
  std::shared_ptr<OneShotEvent> hold_;
  const bool refuse_;
  std::mutex mutex_;
  bool running_ = false;
  bool stopped_ = false;
};

struct AudioBank {
  std::mutex mutex;
  std::vector<std::shared_ptr<ToneSource>> made;
  std::set<SystemAudioRoute> refused;
  std::shared_ptr<OneShotEvent> hold;  // set: every start waits for it

  std::vector<std::shared_ptr<ToneSource>> sources() {
    std::lock_guard lock(mutex);
    return made;
  }
  std::shared_ptr<ToneSource> last() {
    std::lock_guard lock(mutex);
    return made.empty() ? nullptr : made.back();
  }
};

struct AudioRig {
  test::EventLog log;
  std::shared_ptr<AudioBank> bank = std::make_shared<AudioBank>();
  std::shared_ptr<test::FakeDesktopEnvironment> desktop = std::make_shared<test::FakeDesktopEnvironment>();
  std::shared_ptr<M2Pipeline> pipeline;

  // `synthetic` false leaves the sound-server route in place.
  explicit AudioRig(std::vector<std::string> arguments, bool synthetic = true, uint64_t startWaitNs = 0) {
    M2Pipeline::Config c;
    c.mode = {320, 240, 30};
    c.port = 0;
    c.captureMain = true;
    c.switches = ServeSwitches::read(arguments, {});
    c.desktop = desktop;
    c.log = [this](const std::string& line) { log.add(line); };
    c.publisherFactory = [](ServicePublisher::Listener) { return std::make_unique<test::QuietPublisher>(); };
    if (startWaitNs) c.audioStartWaitNs = startWaitNs;
    c.healthTimers = std::make_shared<test::ManualExecutor>();  // as in test::Rig
    if (synthetic) {
      desktop->audio = [bank = bank](SystemAudioRoute route, const AudioRequest& config, const Log::Sink&) {
        EXPECT_EQ(config.sampleRate, 48000);
        EXPECT_EQ(config.channels, 2);
        std::lock_guard lock(bank->mutex);
        auto source = std::make_shared<ToneSource>(route, bank->hold, bank->refused.count(route) > 0);
        bank->made.push_back(source);
        return source;
      };
    } else {
      auto sound = std::make_shared<X11DesktopEnvironment>("");
      desktop->audio = [sound](SystemAudioRoute route, const AudioRequest& request, const Log::Sink& log) {
        return sound->makeAudio(route, request, log);
      };
    }
    pipeline = M2Pipeline::create(std::move(c));
  }
  ~AudioRig() {
    pipeline->stopServing();
    {
      std::lock_guard lock(desktop->bank->mutex);
      desktop->bank->madeCaptures.clear();  // the captures hold the bank, which would keep the session alive
    }
    // A start left to finish on its own holds the session until its thread ends.
    std::weak_ptr<M2Pipeline> session = pipeline;
    pipeline.reset();
    EXPECT_TRUE(test::eventually([&] { return session.expired(); })) << "a start thread still holds the session";
  }

  WireTestClient connect(uint32_t caps) {
    WireTestClient client(pipeline->boundPort());
    EXPECT_TRUE(client.readUntil(test::Code::hello).has_value());
    EXPECT_TRUE(client.send(test::Code::clientCaps, WireTestClient::clientCaps(caps)));
    return client;
  }
  bool runningSource() {
    return test::eventually([&] {
      auto s = bank->last();
      return s && s->running();
    });
  }
};

struct AudioPacket {
  uint64_t ticks;
  uint8_t codec, config, channels;
  uint32_t rate;
  Bytes data;
};

std::optional<AudioPacket> readAudio(WireTestClient& client, int timeoutMs = 10000) {
  const auto p = client.readUntil(test::Code::audio, nullptr, timeoutMs);
  if (!p || p->payload.size() < 16) return std::nullopt;
  return AudioPacket{test::le64(p->payload, 0), p->payload[8],           p->payload[9],
                     p->payload[10],            test::le32(p->payload, 12), Bytes(p->payload.begin() + 16, p->payload.end())};
}

// The 16-bit little-endian bytes a float buffer must become on the wire.
Bytes expectedS16(const AudioSampleBuffer& buffer) {
  Bytes out;
  const Bytes& in = buffer.buffers[0];
  for (size_t at = 0; at + 4 <= in.size(); at += 4) {
    float x;
    std::memcpy(&x, &in[at], 4);
    const float y = x * 32767.0f;
    const int32_t v = y >= 32767.0f ? 32767 : y <= -32768.0f ? -32768 : static_cast<int32_t>(y);
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  }
  return out;
}

TEST(SessionAudioIntegration, PcmAndAacClientsEachGetTheirStreamFromOneCapture) {
  AudioRig rig({"--audio"});
  ASSERT_TRUE(rig.pipeline->startServing());
  auto pcmClient = rig.connect(kWantsAudio | kWantsPcm);
  auto aacClient = rig.connect(kWantsAudio);
  ASSERT_TRUE(rig.runningSource());
  // The first client's wishes may start the audio before the other's are read;
  // samples go only to clients whose wishes the server has taken.
  ASSERT_TRUE(test::eventually([&] {
    return rig.log.contains("ClientCaps ← client: 0xa (audio:pcm)") &&
           rig.log.contains("ClientCaps ← client: 0x2 (audio:aac)");
  }));
  EXPECT_EQ(rig.bank->last()->route, SystemAudioRoute::processTap);
  EXPECT_TRUE(test::eventually(
      [&] { return rig.log.contains("[audio] passthrough started via process tap (48000Hz 2ch) — a client asked for it"); }));

  // Nothing was captured yet, so the AAC client's first audio packet is the decoder setup.
  const auto config = readAudio(aacClient);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->codec, 0);
  EXPECT_EQ(config->config, 1);
  EXPECT_EQ(config->channels, 2);
  EXPECT_EQ(config->rate, 48000u);
  ASSERT_GE(config->data.size(), 2u);
  EXPECT_EQ(config->data[0], 0x11);  // LC, 48 kHz
  EXPECT_EQ(config->data[1], 0x90);  // two channels
  test::TestAacDecoder decoder(config->data);
  ASSERT_TRUE(decoder.ok());

  const auto source = rig.bank->last();
  constexpr int kBuffers = 60;
  constexpr int64_t kFrames = 1024;
  size_t aacPackets = 0;
  for (int k = 0; k < kBuffers; ++k) {
    const auto buffer = test::sineBuffer(48000, 2, 1000, k * kFrames, kFrames);
    const uint64_t ticks = 5'000'000 + static_cast<uint64_t>(k);
    ASSERT_TRUE(source->deliver(buffer, ticks));

    const auto pcm = readAudio(pcmClient);
    ASSERT_TRUE(pcm) << "buffer " << k;
    EXPECT_EQ(pcm->codec, 1);
    EXPECT_EQ(pcm->config, 0);
    EXPECT_EQ(pcm->channels, 2);
    EXPECT_EQ(pcm->rate, 48000u);
    EXPECT_EQ(pcm->ticks, ticks);
    ASSERT_EQ(pcm->data, expectedS16(buffer)) << "buffer " << k;

    // The encoder holds back a few frames of priming; then one unit per buffer.
    while (aacPackets + 4 < static_cast<size_t>(k + 1)) {
      const auto unit = readAudio(aacClient);
      ASSERT_TRUE(unit) << "after buffer " << k;
      EXPECT_EQ(unit->codec, 0);
      if (unit->config == 1) {
        // Repeated for clients that declare their wishes later; always the same setup.
        EXPECT_EQ(unit->data, config->data);
        continue;
      }
      ASSERT_TRUE(decoder.decode(unit->data));
      ++aacPackets;
    }
  }
  ASSERT_GT(decoder.samples.size(), 20'000u);
  const std::vector<float> steady(decoder.samples.begin() + 2048, decoder.samples.end());
  EXPECT_NEAR(test::medianZeroCrossingHz(steady, 48000), 1000, 20);
}

TEST(SessionAudioIntegration, AudioStopsWhenTheLastClientLeavesAndStartsAgainForTheNext) {
  AudioRig rig({"--audio", "--audio-sck"});
  ASSERT_TRUE(rig.pipeline->startServing());
  {
    auto client = rig.connect(kWantsAudio | kWantsPcm);
    ASSERT_TRUE(rig.runningSource());
    const auto first = rig.bank->last();
    EXPECT_EQ(first->route, SystemAudioRoute::screenCapture);
    EXPECT_TRUE(test::eventually(
        [&] { return rig.log.contains("[audio] passthrough started via the default sink's monitor (48000Hz 2ch) — a client asked for it"); }));
    ASSERT_TRUE(first->deliver(test::sineBuffer(48000, 2, 440, 0, 480), 7));
    ASSERT_TRUE(readAudio(client).has_value());
  }
  const auto first = rig.bank->last();
  ASSERT_TRUE(test::eventually([&] { return first->stopped(); }));
  EXPECT_TRUE(test::eventually([&] { return rig.log.contains("[audio] passthrough stopped — no client wants it"); }));
  EXPECT_FALSE(first->deliver(test::sineBuffer(48000, 2, 440, 0, 480), 8));

  auto next = rig.connect(kWantsAudio);
  ASSERT_TRUE(test::eventually([&] { return rig.bank->sources().size() == 2 && rig.bank->last()->running(); }));
}

TEST(SessionAudioIntegration, WithoutTheAudioSwitchAClientAskingForAudioStartsNothing) {
  AudioRig rig({});
  ASSERT_TRUE(rig.pipeline->startServing());
  auto client = rig.connect(kWantsAudio | kWantsPcm);
  // The wish is posted after its wire line; a client's packets are handled in
  // order, so the TimeSync reply shows it has been posted, and the sync below
  // that the queue has run the decision.
  test::RawBytes echo;
  test::putLE64(echo, 42);
  ASSERT_TRUE(client.send(test::Code::timeSync, echo));
  ASSERT_TRUE(client.readUntil(test::Code::timeSync).has_value());
  EXPECT_TRUE(rig.log.contains("ClientCaps ← client: 0xa"));
  rig.pipeline->reconfigState();
  EXPECT_TRUE(rig.bank->sources().empty());
  EXPECT_FALSE(readAudio(client, 200).has_value());
}

TEST(SessionAudioIntegration, TapThatCannotStartFallsBackAndAnUnexpectedStopRestartsWhileWanted) {
  AudioRig rig({"--audio"});
  rig.bank->refused.insert(SystemAudioRoute::processTap);
  ASSERT_TRUE(rig.pipeline->startServing());
  auto client = rig.connect(kWantsAudio | kWantsPcm);
  ASSERT_TRUE(rig.runningSource());
  EXPECT_TRUE(rig.log.contains("[audio] process tap unavailable (synthetic source refused) — falling back to the default sink's monitor"));
  EXPECT_EQ(rig.bank->last()->route, SystemAudioRoute::screenCapture);

  const auto first = rig.bank->last();
  first->endByItself("device gone");
  ASSERT_TRUE(test::eventually([&] { return rig.log.contains("[audio] capture stopped: device gone"); }));
  ASSERT_TRUE(test::eventually([&] { return rig.bank->sources().size() == 4 && rig.bank->last()->running(); }));
  EXPECT_TRUE(first->stopped());
}

TEST(SessionAudioIntegration, StartThatCompletesAfterItsWaitIsStoppedAndFeedsNobody) {
  AudioRig rig({"--audio", "--audio-sck"}, true, 50'000'000);
  rig.bank->hold = std::make_shared<OneShotEvent>();
  ASSERT_TRUE(rig.pipeline->startServing());
  auto client = rig.connect(kWantsAudio);
  ASSERT_TRUE(test::eventually([&] { return rig.log.contains("[audio] capture did not start within 0s"); }));
  const auto late = rig.bank->last();
  rig.bank->hold->signal();
  ASSERT_TRUE(test::eventually(
      [&] { return rig.log.contains("[audio] capture started after its wait gave up — stopped it again"); }));
  EXPECT_TRUE(late->stopped());
  EXPECT_FALSE(late->deliver(test::sineBuffer(48000, 2, 440, 0, 1024), 9));
  // Only the setup packet went out; no audio followed it.
  const auto setup = readAudio(client);
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->config, 1);
  EXPECT_FALSE(readAudio(client, 200).has_value());
}

TEST(SessionAudioIntegration, StopDuringAnAudioStartLeavesNoAudioRunning) {
  AudioRig rig({"--audio", "--audio-sck"});
  rig.bank->hold = std::make_shared<OneShotEvent>();
  ASSERT_TRUE(rig.pipeline->startServing());
  auto client = rig.connect(kWantsAudio);
  ASSERT_TRUE(test::eventually([&] {
    auto s = rig.bank->last();
    return s && s->entered.isSignaled();
  }));
  auto stopping = std::async(std::launch::async, [&] { rig.pipeline->stopServing(); });
  ASSERT_EQ(stopping.wait_for(std::chrono::seconds(20)), std::future_status::ready);  // the wait was cancelled
  EXPECT_TRUE(rig.log.contains("[m2] WARN: lumenrail-audio-start is still blocked — left to finish on its own"));
  const auto late = rig.bank->last();
  rig.bank->hold->signal();
  // The log line comes last from the start's thread, so the rig may go after it.
  ASSERT_TRUE(test::eventually(
      [&] { return rig.log.contains("[audio] capture started after its wait gave up — stopped it again"); }));
  EXPECT_TRUE(late->stopped());
  EXPECT_FALSE(late->running());
  EXPECT_EQ(rig.bank->sources().size(), 1u);  // no fallback was tried after the stop
  EXPECT_FALSE(rig.log.contains("[audio] passthrough started"));
}

TEST(SessionAudioIntegration, ClientsLeavingAndStopWhileSamplesFlowEndTheRunCleanly) {
  AudioRig rig({"--audio"});
  ASSERT_TRUE(rig.pipeline->startServing());
  // Samples keep arriving on their own thread while the run is taken down under them.
  const auto pump = [](std::shared_ptr<ToneSource> source) {
    return std::async(std::launch::async, [source] {
      int64_t delivered = 0;
      for (int64_t k = 0; k < 200'000 && source->deliver(test::sineBuffer(48000, 2, 440, k * 480, 480), 1); ++k) {
        ++delivered;
      }
      return delivered;
    });
  };
  std::future<int64_t> first;
  {
    auto pcm = rig.connect(kWantsAudio | kWantsPcm);
    auto aac = rig.connect(kWantsAudio);
    ASSERT_TRUE(rig.runningSource());
    first = pump(rig.bank->last());
    ASSERT_TRUE(readAudio(pcm).has_value());
    ASSERT_TRUE(readAudio(aac).has_value());
  }  // both leave mid-stream
  EXPECT_LT(first.get(), 200'000);  // ended by the stop, not by the bound
  EXPECT_TRUE(rig.bank->sources()[0]->stopped());

  auto again = rig.connect(kWantsAudio | kWantsPcm);
  ASSERT_TRUE(test::eventually([&] { return rig.bank->sources().size() == 2 && rig.bank->last()->running(); }));
  auto second = pump(rig.bank->last());
  ASSERT_TRUE(readAudio(again).has_value());
  rig.pipeline->stopServing();
  EXPECT_LT(second.get(), 200'000);
  EXPECT_TRUE(rig.bank->last()->stopped());
}

// The real route against a private sound server playing a tone into its sink.
TEST(SessionAudioIntegration, RealRouteStreamsTheSinkToAPcmClient) {
  test::PrivatePulse pulse;
  if (!pulse.running()) GTEST_SKIP() << pulse.whyNot();
  ASSERT_TRUE(pulse.playTone(440));
  const char* before = std::getenv("PULSE_SERVER");
  const std::string saved = before ? before : "";
  setenv("PULSE_SERVER", pulse.server().c_str(), 1);
  struct Restore {
    bool had;
    std::string value;
    ~Restore() { had ? setenv("PULSE_SERVER", value.c_str(), 1) : unsetenv("PULSE_SERVER"); }
  } restore{before != nullptr, saved};

  AudioRig rig({"--audio"}, false);
  ASSERT_TRUE(rig.pipeline->startServing());
  auto client = rig.connect(kWantsAudio | kWantsPcm);
  const bool started = test::eventually([&] {
    return rig.log.contains("[audio] passthrough started") || rig.log.contains("[audio] capture start failed") ||
           rig.log.contains("[audio] capture did not start");
  });
  ASSERT_TRUE(started);
  if (!rig.log.contains("[audio] passthrough started")) {
    GTEST_SKIP() << "the sound server's capture did not start here: " << rig.log.lines().back();
  }
  std::vector<float> left;
  uint32_t rate = 0;
  while (left.size() < 48000) {
    const auto p = readAudio(client);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->codec, 1);
    ASSERT_GE(p->channels, 1);
    rate = p->rate;
    for (size_t at = 0; at + 2u * p->channels <= p->data.size(); at += 2u * p->channels) {
      const auto s = static_cast<int16_t>(p->data[at] | (p->data[at + 1] << 8));
      left.push_back(static_cast<float>(s) / 32768.0f);
    }
  }
  EXPECT_NEAR(test::medianZeroCrossingHz(left, rate), 440, 15);
}

}  // namespace
}  // namespace lumenrail

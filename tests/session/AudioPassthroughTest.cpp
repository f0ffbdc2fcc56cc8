// The audio decision over a fake sound source: nothing without "--audio",
// the simple route when the process tap cannot start, off when nobody wants it.
#include <gtest/gtest.h>

#include "session/AudioPassthrough.hpp"
#include "support/EventLog.hpp"
#include "support/FakeDesktopEnvironment.hpp"
#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

class SilentSource final : public SystemAudioSource {
 public:
  explicit SilentSource(bool refuse) : refuse_(refuse) {}
  void start(uint64_t) override {
    if (refuse_) throw std::runtime_error("no tap here");
  }
  void stop() override { stopped = true; }
  bool stopped = false;

 private:
  const bool refuse_;
};

struct AudioRig {
  test::EventLog log;
  std::shared_ptr<test::FakeDesktopEnvironment> desktop = std::make_shared<test::FakeDesktopEnvironment>();
  std::shared_ptr<test::ManualExecutor> queue = std::make_shared<test::ManualExecutor>();
  std::shared_ptr<BoundedWaits> waits;
  std::vector<std::pair<SystemAudioRoute, std::shared_ptr<SilentSource>>> made;
  std::shared_ptr<AudioPassthrough> audio;

  explicit AudioRig(bool enabled) {
    desktop->audio = [this](SystemAudioRoute route, const AudioRequest&, const Log::Sink&) {
      auto source = std::make_shared<SilentSource>(route == SystemAudioRoute::processTap);
      made.emplace_back(route, source);
      return source;
    };
    waits = std::make_shared<BoundedWaits>([this](const std::string& line) { log.add(line); });
    AudioPassthrough::Config c;
    c.desktop = desktop;
    c.server = WireServer::create(WireServer::Config{});
    c.waits = waits;
    c.post = [q = queue](std::function<void()> work) { q->post(std::move(work)); };
    c.log = [this](const std::string& line) { log.add(line); };
    c.enabled = enabled;
    audio = AudioPassthrough::create(std::move(c));
  }
  ~AudioRig() {
    audio->stop();
    waits->stop();
    waits->joinAll(5 * kNsPerSecond);
  }
};

TEST(AudioPassthrough, WithoutTheAudioSwitchAWishStartsNothing) {
  AudioRig rig(false);
  rig.audio->wantedChanged(true);
  EXPECT_TRUE(rig.made.empty());
  EXPECT_FALSE(rig.audio->running());
}

TEST(AudioPassthrough, ATapThatCannotStartFallsBackAndTheLastWishStopsIt) {
  AudioRig rig(true);
  rig.audio->wantedChanged(true);
  ASSERT_EQ(rig.made.size(), 2u);
  EXPECT_EQ(rig.made[0].first, SystemAudioRoute::processTap);
  EXPECT_EQ(rig.made[1].first, SystemAudioRoute::screenCapture);
  EXPECT_TRUE(rig.log.contains("[audio] process tap unavailable (no tap here) — falling back to the default sink's monitor"));
  EXPECT_TRUE(rig.log.contains("[audio] passthrough started via the default sink's monitor (48000Hz 2ch) — a client asked for it"));
  EXPECT_TRUE(rig.audio->running());

  rig.audio->wantedChanged(false);
  EXPECT_FALSE(rig.audio->running());
  EXPECT_TRUE(rig.made[1].second->stopped);
  EXPECT_TRUE(rig.log.contains("[audio] passthrough stopped — no client wants it"));
}

TEST(AudioPassthrough, AnUnexpectedStopRestartsOnlyWhileAClientStillWantsAudio) {
  AudioRig rig(true);
  rig.audio->wantedChanged(true);
  ASSERT_EQ(rig.made.size(), 2u);
  rig.made[1].second->onStop(std::string("device gone"));
  EXPECT_TRUE(rig.log.contains("[audio] capture stopped: device gone"));
  rig.queue->runReady();  // no client wants audio on this server
  EXPECT_FALSE(rig.audio->running());
  EXPECT_EQ(rig.made.size(), 2u);
}

}  // namespace
}  // namespace lumenrail

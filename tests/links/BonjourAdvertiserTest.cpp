#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "links/BonjourAdvertiser.hpp"
#include "platform/Clock.hpp"
#include "platform/Utf8.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::EventLog;

// Records what the advertiser asks of its DNS-SD stack, across every publisher it makes.
struct PublisherLog {
  struct Published {
    std::string name, type, domain;
    uint16_t port = 0;
    TxtRecord txt;
  };
  std::mutex mutex;
  std::vector<Published> published;
  std::vector<TxtRecord> updates;
  int created = 0;
  int stopped = 0;
  int live = 0;          // made and not yet stopped
  int maxLive = 0;
  int misuse = 0;        // publish twice, or anything after stop
  ServicePublisher::Listener listener;  // of the newest publisher

  TxtRecord lastTxt() {
    std::lock_guard lock(mutex);
    return updates.empty() ? published.back().txt : updates.back();
  }
  size_t updateCount() {
    std::lock_guard lock(mutex);
    return updates.size();
  }
};

class FakePublisher final : public ServicePublisher {
 public:
  FakePublisher(std::shared_ptr<PublisherLog> log, Listener listener) : log_(std::move(log)) {
    std::lock_guard lock(log_->mutex);
    ++log_->created;
    log_->maxLive = std::max(log_->maxLive, ++log_->live);
    log_->listener = std::move(listener);
  }
  ~FakePublisher() override {
    if (!stopped_) stop();
  }
  void publish(const std::string& name, const std::string& type, const std::string& domain, uint16_t port,
               const TxtRecord& txt) override {
    std::lock_guard lock(log_->mutex);
    if (stopped_ || published_) ++log_->misuse;
    published_ = true;
    log_->published.push_back({name, type, domain, port, txt});
  }
  void updateTxt(const TxtRecord& txt) override {
    std::lock_guard lock(log_->mutex);
    if (stopped_) ++log_->misuse;
    log_->updates.push_back(txt);
  }
  void stop() override {
    std::lock_guard lock(log_->mutex);
    if (stopped_) return;
    stopped_ = true;
    ++log_->stopped;
    --log_->live;
  }

 private:
  std::shared_ptr<PublisherLog> log_;
  bool published_ = false;
  bool stopped_ = false;
};

class BonjourAdvertiserTest : public ::testing::Test {
 protected:
  std::shared_ptr<BonjourAdvertiser> make(std::vector<std::string> addresses = {}) {
    setAddresses(std::move(addresses));
    auto a = BonjourAdvertiser::create("Studio", 27184);
    a->onEvent = [this](const std::string& line) { events.add(line); };
    a->publisherFactory = [log = publishers](ServicePublisher::Listener listener) {
      return std::make_unique<FakePublisher>(log, std::move(listener));
    };
    a->addressSource = [this] {
      std::lock_guard lock(addressMutex);
      return addresses_;
    };
    return a;
  }
  void setAddresses(std::vector<std::string> a) {
    std::lock_guard lock(addressMutex);
    addresses_ = std::move(a);
  }

  std::shared_ptr<PublisherLog> publishers = std::make_shared<PublisherLog>();
  EventLog events;
  std::mutex addressMutex;
  std::vector<std::string> addresses_;
};

const TxtRecord kBase = {{"v", "1"}, {"pv", "1"}, {"enc", "0"}, {"caps", "0x1"}, {"os", "mac"}};

TEST(BonjourInstanceNameTest, HashSuffixFromTheFingerprint) {
  EXPECT_EQ(BonjourAdvertiser::instanceName("Studio", std::nullopt), "Studio");
  EXPECT_EQ(BonjourAdvertiser::instanceName("Studio", ""), "Studio");
  EXPECT_EQ(BonjourAdvertiser::instanceName("Studio", "abc"), "Studio (e90b)");
  EXPECT_EQ(BonjourAdvertiser::instanceName("Studio", "a"), "Studio (292c)");
  EXPECT_EQ(BonjourAdvertiser::instanceName("", "abc"), " (e90b)");
}

TEST(BonjourInstanceNameTest, LongNamesAreCutAtACharacterBoundaryToFitOneLabel) {
  EXPECT_EQ(BonjourAdvertiser::instanceName(std::string(70, 'x'), "abc"), std::string(56, 'x') + " (e90b)");
  EXPECT_EQ(BonjourAdvertiser::instanceName(std::string(70, 'x'), std::nullopt), std::string(63, 'x'));
  EXPECT_EQ(BonjourAdvertiser::instanceName(std::string(63, 'x'), std::nullopt), std::string(63, 'x'));

  std::string accents;
  for (int i = 0; i < 40; ++i) accents += "\xC3\xA9";  // é, two bytes each
  // 63 bytes of room: 31 characters (62 bytes), not half of the 32nd.
  std::string bare = BonjourAdvertiser::instanceName(accents, std::nullopt);
  EXPECT_EQ(bare.size(), 62u);
  EXPECT_TRUE(Utf8::isValid(bare));
  // 56 bytes of room: exactly 28 characters.
  EXPECT_EQ(BonjourAdvertiser::instanceName(accents, "abc"), accents.substr(0, 56) + " (e90b)");

  std::string emoji;
  for (int i = 0; i < 20; ++i) emoji += "\xF0\x9F\x96\x8A";  // four bytes each
  const std::string cut = BonjourAdvertiser::instanceName(emoji, "abc");
  EXPECT_EQ(cut, emoji.substr(0, 56) + " (e90b)");
  const std::string cutBare = BonjourAdvertiser::instanceName(emoji, std::nullopt);
  EXPECT_EQ(cutBare, emoji.substr(0, 60));
  // Broken bytes in the name never reach the label.
  EXPECT_TRUE(Utf8::isValid(BonjourAdvertiser::instanceName("Bad\xFF\xFEname", "abc")));
}

TEST(BonjourLanAddressesTest, RoutedServicesPrimaryFirstNoLinkLocalNoRepeats) {
  using S = BonjourAdvertiser::ServiceIPv4;
  const std::vector<S> services = {
      {"wlan0", {"192.168.1.20", "169.254.3.4"}, true},
      {"eth0", {"10.0.0.5", "192.168.1.20"}, true},
      {"docker0", {"172.17.0.1"}, false},
      {"eth1", {"10.1.0.7"}, true},
      {"enp3s0", {}, true},
  };
  EXPECT_EQ(BonjourAdvertiser::lanAddresses(services, "wlan0"),
            (std::vector<std::string>{"192.168.1.20", "10.0.0.5", "10.1.0.7"}));
  EXPECT_EQ(BonjourAdvertiser::lanAddresses(services, std::nullopt),
            (std::vector<std::string>{"10.0.0.5", "192.168.1.20", "10.1.0.7"}));
  EXPECT_EQ(BonjourAdvertiser::lanAddresses(services, "docker0"),
            (std::vector<std::string>{"10.0.0.5", "192.168.1.20", "10.1.0.7"}));
  EXPECT_TRUE(BonjourAdvertiser::lanAddresses({{"eth0", {"169.254.1.1"}, true}, {"x", {"10.0.0.1"}, false}}, "x")
                  .empty());
}

TEST_F(BonjourAdvertiserTest, PublishesTheServiceWithTheComposedTxtRecord) {
  auto a = make({"192.168.1.2", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"});
  TxtRecord base = kBase;
  base["fp"] = "abc";
  base["ip4"] = "1.2.3.4";  // the advertiser owns this key
  a->start(base);
  ASSERT_TRUE(events.waitFor("advertising"));
  a->stop();

  ASSERT_EQ(publishers->published.size(), 1u);
  const auto& p = publishers->published[0];
  EXPECT_EQ(p.name, "Studio (e90b)");
  EXPECT_EQ(p.type, "_lumenrail._tcp.");
  EXPECT_EQ(p.domain, "local.");
  EXPECT_EQ(p.port, 27184);
  EXPECT_EQ(p.txt, (TxtRecord{{"v", "1"}, {"pv", "1"}, {"enc", "0"}, {"caps", "0x1"}, {"os", "mac"}, {"fp", "abc"},
                              {"busy", "0"}, {"ip4", "192.168.1.2,10.0.0.2,10.0.0.3,10.0.0.4"}}));
  EXPECT_EQ(events.lines().front(),
            "advertising \"Studio (e90b)\" _lumenrail._tcp. on :27184 "
            "ip4=192.168.1.2,10.0.0.2,10.0.0.3,10.0.0.4,10.0.0.5");
  EXPECT_EQ(events.lines().back(), "advertise stopped");
  EXPECT_EQ(publishers->misuse, 0);
}

TEST_F(BonjourAdvertiserTest, NoAddressesMeansNoIp4Entry) {
  auto a = make({});
  a->start(kBase);
  ASSERT_TRUE(events.waitFor("advertising \"Studio\" _lumenrail._tcp. on :27184 ip4="));
  a->stop();
  EXPECT_EQ(publishers->published.at(0).txt.count("ip4"), 0u);
}

TEST_F(BonjourAdvertiserTest, BusyFlagRidesInTheTxtRecord) {
  auto a = make({"10.0.0.2"});
  a->setBusy(true);  // before start: the first record carries it
  a->start(kBase);
  ASSERT_TRUE(events.waitFor("advertising"));
  EXPECT_EQ(publishers->published.at(0).txt.at("busy"), "1");
  EXPECT_EQ(publishers->updateCount(), 0u);

  a->setBusy(false);
  EXPECT_EQ(publishers->updateCount(), 1u);
  EXPECT_EQ(publishers->lastTxt().at("busy"), "0");
  EXPECT_EQ(publishers->lastTxt().at("ip4"), "10.0.0.2");
  a->stop();
  a->setBusy(true);  // after stop: nothing to update
  EXPECT_EQ(publishers->updateCount(), 1u);
  EXPECT_EQ(publishers->misuse, 0);
}

TEST_F(BonjourAdvertiserTest, AddressChangesRepublishTheRecord) {
  auto a = make({"10.0.0.2"});
  a->refreshIntervalNs = 2 * kNsPerMs;
  a->start(kBase);
  ASSERT_TRUE(events.waitFor("advertising"));
  setAddresses({"10.0.0.9", "192.168.7.7", "10.0.0.2", "10.0.0.3", "10.0.0.4"});
  ASSERT_TRUE(events.waitFor("ip4 now 10.0.0.9,192.168.7.7,10.0.0.2,10.0.0.3,10.0.0.4"));
  EXPECT_EQ(publishers->lastTxt().at("ip4"), "10.0.0.9,192.168.7.7,10.0.0.2,10.0.0.3");
  setAddresses({});
  // The first "ip4 now" line is already there: wait for the second.
  ASSERT_TRUE(test::eventually([&] { return events.count("ip4 now") == 2; }));
  ASSERT_TRUE(test::eventually([&] { return publishers->lastTxt().count("ip4") == 0; }));
  a->stop();
  // Unchanged addresses on later ticks republish nothing.
  EXPECT_EQ(publishers->updateCount(), 2u);
  EXPECT_EQ(events.count("ip4 now"), 2);
}

TEST_F(BonjourAdvertiserTest, PublisherOutcomesBecomeLines) {
  auto a = make({});
  a->start(kBase);
  ASSERT_TRUE(events.waitFor("advertising"));
  ServicePublisher::Listener listener;
  {
    std::lock_guard lock(publishers->mutex);
    listener = publishers->listener;
  }
  listener.published("Studio #2");
  listener.failed("Local name collision");
  EXPECT_TRUE(events.waitFor("published as \"Studio #2\""));
  EXPECT_TRUE(events.waitFor("publish FAILED: Local name collision"));
  a->stop();
}

TEST_F(BonjourAdvertiserTest, RestartReplacesTheAdvertisementAndStopIsIdempotent) {
  auto a = make({});
  a->stop();  // nothing runs: harmless
  a->start(kBase);
  TxtRecord second = kBase;
  second["enc"] = "1";
  a->start(second);
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(publishers->mutex);
    return !publishers->published.empty() && publishers->published.back().txt.at("enc") == "1";
  }));
  a->stop();
  const int stoppedLines = events.count("advertise stopped");
  EXPECT_GE(stoppedLines, 1);
  a->stop();
  EXPECT_EQ(events.count("advertise stopped"), stoppedLines);
  std::lock_guard lock(publishers->mutex);
  EXPECT_EQ(publishers->created, 2);
  EXPECT_EQ(publishers->stopped, 2);
  EXPECT_EQ(publishers->maxLive, 1);
  EXPECT_EQ(publishers->live, 0);
  EXPECT_EQ(publishers->misuse, 0);
}

TEST_F(BonjourAdvertiserTest, ConcurrentStartStopAndBusyLeaveNoOrphanOrDuplicate) {
  auto a = make({"10.0.0.2"});
  a->refreshIntervalNs = kNsPerMs;
  std::atomic<bool> done{false};
  std::vector<std::thread> busy;
  for (int t = 0; t < 4; ++t) {
    busy.emplace_back([&, t] {
      for (int i = 0; !done; ++i) a->setBusy((i + t) % 2 == 0);
    });
  }
  std::vector<std::thread> lifecycles;
  for (int t = 0; t < 3; ++t) {
    lifecycles.emplace_back([&] {
      for (int i = 0; i < 30; ++i) {
        a->start(kBase);
        if (i % 3 == 0) a->stop();
      }
    });
  }
  for (auto& t : lifecycles) t.join();
  a->stop();
  done = true;
  for (auto& t : busy) t.join();
  std::lock_guard lock(publishers->mutex);
  EXPECT_EQ(publishers->created, 90);
  EXPECT_EQ(publishers->stopped, 90);
  EXPECT_EQ(publishers->maxLive, 1);
  EXPECT_EQ(publishers->live, 0);
  EXPECT_EQ(publishers->misuse, 0);
}

TEST(BonjourDefaultNameTest, NeverEmpty) { EXPECT_FALSE(BonjourAdvertiser::defaultName().empty()); }

}  // namespace
}  // namespace lumenrail

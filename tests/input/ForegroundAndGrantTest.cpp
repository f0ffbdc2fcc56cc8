#include <gtest/gtest.h>

#include <atomic>

#include "input/AppIdentity.hpp"
#include "input/ForegroundAppWatcher.hpp"
#include "input/InputGrantWatch.hpp"
#include "platform/NamedThread.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

TEST(AppIdentityTest, OverridesPrefixesAndLastPieces) {
  EXPECT_EQ(AppIdentity::overrides().size(), 42u);
  EXPECT_EQ(AppIdentity::stem("COM.Adobe.PhotoShop"), "photoshop");
  EXPECT_EQ(AppIdentity::stem("com.adobe.PremierePro.24"), "adobe premiere pro");
  EXPECT_EQ(AppIdentity::stem("com.corel.Painter2023"), "painter");
  EXPECT_EQ(AppIdentity::stem("com.apple.Safari"), "safari");
  EXPECT_EQ(AppIdentity::stem("com.example.App2"), "app");
  EXPECT_EQ(AppIdentity::stem("com.example.3d"), "d");
  EXPECT_EQ(AppIdentity::stem("Firefox-ESR"), "firefoxesr");
  EXPECT_EQ(AppIdentity::stem("com.example..."), "example");
  EXPECT_EQ(AppIdentity::stem("org.example.123"), "");
  EXPECT_EQ(AppIdentity::stem("com.captureone.captureone16"), "capture one");
  EXPECT_EQ(AppIdentity::stem("com.seriflabs.affinityphoto2"), AppIdentity::stem("com.seriflabs.affinityphoto"));
  // Linux names of the same applications.
  EXPECT_EQ(AppIdentity::stem("Gimp-2.10"), "gimp");
  EXPECT_EQ(AppIdentity::stem("org.kde.krita"), "krita");
  EXPECT_EQ(AppIdentity::stem("Inkscape"), "inkscape");
  EXPECT_EQ(AppIdentity::stem("org.inkscape.Inkscape"), "inkscape");
  EXPECT_EQ(AppIdentity::stem("Blender"), "blender");
  EXPECT_EQ(AppIdentity::stem("xournalpp"), "xournalpp");
}

// A frontmost application the test switches by hand.
class ScriptedSource final : public ForegroundAppSource {
 public:
  std::optional<std::string> frontmostAppId() override {
    polls.add();
    std::lock_guard guard(lock);
    return app;
  }
  void set(std::optional<std::string> id) {
    std::lock_guard guard(lock);
    app = std::move(id);
  }
  std::mutex lock;
  std::optional<std::string> app;
  test::EventCounter polls;
};

TEST(ForegroundAppWatcherTest, ReportsChangesOnceAndNoneForNoApplication) {
  auto source = std::make_shared<ScriptedSource>();
  source->set("com.adobe.photoshop");
  test::EventLog log;
  test::EventLog changes;
  {
    ForegroundAppWatcher watcher(0.001, source);
    watcher.onEvent = [&](const std::string& l) { log.add(l); };
    watcher.onChange = [&](const std::string& s) { changes.add("[" + s + "]"); };
    watcher.start();
    ASSERT_TRUE(changes.waitFor("[photoshop]"));
    EXPECT_EQ(watcher.current(), "photoshop");
    source->set("com.seriflabs.affinityphoto2");
    ASSERT_TRUE(source->polls.waitFor(source->polls.count() + 3));
    source->set("com.seriflabs.affinityphoto");
    ASSERT_TRUE(source->polls.waitFor(source->polls.count() + 3));
    source->set(std::nullopt);
    ASSERT_TRUE(changes.waitFor("[]"));
    watcher.stop();
    EXPECT_EQ(watcher.current(), "");
  }
  EXPECT_EQ(log.count("foreground watcher started (poll 1ms)"), 1);
  EXPECT_EQ(changes.lines(), (std::vector<std::string>{"[photoshop]", "[photo]", "[]"}));
  EXPECT_EQ(log.count("foreground app → (none)"), 1);
  EXPECT_EQ(log.count("foreground app → photo"), 2);  // photoshop, photo
}

TEST(ForegroundAppWatcherTest, StartStopNeverLeavesTwoPollersAndDestructionEndsTheThread) {
  auto source = std::make_shared<ScriptedSource>();
  source->set("org.krita");
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  test::EventLog log;
  auto watcher = std::make_unique<ForegroundAppWatcher>(0.4, source);
  watcher->onEvent = [&](const std::string& l) { log.add(l); };
  watcher->onChange = [&](const std::string&) {
    const int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    --inside;
  };
  watcher->start();
  watcher->start();
  EXPECT_EQ(log.count("foreground watcher started (poll 400ms)"), 1);
  for (int i = 0; i < 20; ++i) {
    watcher->stop();
    source->set(i % 2 ? "org.krita" : "org.gimp.gimp");
    watcher->start();
    EXPECT_TRUE(watcher->running());
  }
  EXPECT_EQ(log.count("foreground watcher started"), 21);
  watcher.reset();  // stops and joins: no callback after this line
  const int polls = source->polls.count();
  EXPECT_LE(most.load(), 1);
  EXPECT_EQ(source->polls.count(), polls);
}

// The owner may drop the watcher from one of its callbacks; the thread then
// ends without polling again or touching the freed watcher (ASan watches).
TEST(ForegroundAppWatcherTest, DestroyedFromItsOwnCallbackTheThreadEndsCleanly) {
  auto source = std::make_shared<ScriptedSource>();
  source->set("org.krita");
  test::EventCounter changes;
  auto watcher = std::make_unique<ForegroundAppWatcher>(0.001, source);
  watcher->onChange = [&](const std::string&) {
    watcher.reset();
    changes.add();
  };
  watcher->start();
  ASSERT_TRUE(changes.waitFor(1));
  // The thread lets go of the source as it ends.
  EXPECT_TRUE(test::eventually([&] { return source.use_count() == 1; }));
  EXPECT_EQ(source->polls.count(), 1);
  EXPECT_EQ(changes.count(), 1);
}

TEST(InputGrantWatchTest, EdgesOnlyWhileAClientIsConnected) {
  bool allowed = false;
  int probes = 0;
  InputGrantWatch watch([&] {
    ++probes;
    return allowed;
  });
  EXPECT_EQ(watch.poll(false), std::nullopt);
  EXPECT_EQ(probes, 0);
  EXPECT_EQ(watch.poll(true), InputGrantWatch::Edge::blocked);
  EXPECT_TRUE(watch.isBlocked());
  EXPECT_EQ(watch.poll(true), std::nullopt);
  EXPECT_EQ(watch.poll(false), InputGrantWatch::Edge::cleared);
  EXPECT_EQ(probes, 2);
  EXPECT_EQ(watch.poll(false), std::nullopt);
  EXPECT_EQ(watch.poll(true), InputGrantWatch::Edge::blocked);
  allowed = true;
  EXPECT_EQ(watch.poll(true), InputGrantWatch::Edge::cleared);
  EXPECT_EQ(watch.poll(true), std::nullopt);
}

}  // namespace
}  // namespace lumenrail

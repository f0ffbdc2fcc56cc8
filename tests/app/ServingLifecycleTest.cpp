// The serving lifecycle over manual main and serve queues and a session that
// records its calls.
#include <gtest/gtest.h>

#include "app/controller/ServingLifecycle.hpp"
#include "FakeServingSession.hpp"
#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

struct Rig {
  test::ManualExecutor main, serve;
  std::vector<std::string> calls, lines;
  std::vector<std::shared_ptr<test::FakeServingSession>> sessions;
  std::vector<bool> finished;  // what each quit was told
  int started = 0;
  bool held = false;
  std::shared_ptr<ServingLifecycle> lifecycle;

  struct Sleep final : SleepAssertion {
    Rig* rig;
    bool acquire() override { return rig->held = true; }
    void release() override { rig->held = false; }
  };

  Rig() {
    auto sleep = std::make_shared<Sleep>();
    sleep->rig = this;
    ServingLifecycle::Ports ports;
    ports.main = std::shared_ptr<Executor>(&main, [](Executor*) {});
    ports.serveQueue = std::shared_ptr<Executor>(&serve, [](Executor*) {});
    ports.makeSession = [this](const SessionConfig& config) {
      sessions.push_back(std::make_shared<test::FakeServingSession>(&calls, config));
      return sessions.back();
    };
    ports.displayAwake = sleep;
    ports.log = [this](const std::string& line) { lines.push_back(line); };
    ports.errorLog = ports.log;
    ServingLifecycle::Hooks hooks;
    hooks.started = [this] { ++started; };
    lifecycle = std::make_shared<ServingLifecycle>(std::move(ports), std::move(hooks));
  }
  void quit() {
    lifecycle->quit([this](bool clean) { finished.push_back(clean); });
  }
};

TEST(ServingLifecycle, QuitDuringAStartWaitsForItThenStopsAndIsToldOnce) {
  Rig rig;
  rig.lifecycle->start(HostSettings::cliDefaults());
  rig.quit();
  rig.serve.runOne();  // the start finishes
  rig.main.runReady();
  EXPECT_TRUE(rig.finished.empty());
  EXPECT_EQ(rig.started, 0);  // nothing begins on the way out
  EXPECT_EQ(rig.main.pending(), 1u);  // the quit's bound
  rig.serve.runReady();
  rig.main.runReady();
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"start", "stop"}));
  EXPECT_EQ(rig.finished, std::vector<bool>{true});
  EXPECT_FALSE(rig.held);
  rig.main.advance(ServingLifecycle::kQuitWaitNs);
  EXPECT_EQ(rig.finished, std::vector<bool>{true});
  rig.lifecycle->start(HostSettings::cliDefaults());
  EXPECT_EQ(rig.sessions.size(), 1u);

  // A stop that does not return: the bound tells, and a late return does not again.
  Rig stuck;
  stuck.lifecycle->start(HostSettings::cliDefaults());
  stuck.serve.runReady();
  stuck.main.runReady();
  ASSERT_EQ(stuck.lifecycle->phase(), ServingPhase::serving);
  stuck.quit();
  stuck.main.advance(ServingLifecycle::kQuitWaitNs);
  EXPECT_EQ(stuck.finished, std::vector<bool>{false});
  EXPECT_EQ(stuck.lines.back(), "[menubar] WARN: serving did not stop within 20 s — quitting anyway");
  stuck.serve.runReady();
  stuck.main.runReady();
  EXPECT_EQ(stuck.finished, std::vector<bool>{false});

  // Nothing to stop: told at once.
  Rig idle;
  idle.quit();
  EXPECT_EQ(idle.finished, std::vector<bool>{true});
}

}  // namespace
}  // namespace lumenrail

// The input-grant monitor over a manual main loop (its clock times the quiet
// period), a fake probe and alerts that turn that loop while they are up.
#include <gtest/gtest.h>

#include "app/controller/InputGrantMonitor.hpp"
#include "support/AppPortFakes.hpp"
#include "support/FakeAlert.hpp"
#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

struct Rig {
  test::ManualExecutor main;
  std::shared_ptr<test::FakeProbe> grants = std::make_shared<test::FakeProbe>();
  std::vector<std::shared_ptr<test::FakeAlert>> alerts;
  std::optional<int> alertAnswer = 1001;
  std::vector<std::string> lines;
  bool clientConnected = true;
  int changes = 0;
  int accessOpened = 0;
  std::shared_ptr<InputGrantMonitor> monitor;

  struct Alerts final : AlertRunner {
    Rig* rig;
    std::shared_ptr<ModalAlert> make(const Content&) override {
      auto a = std::make_shared<test::FakeAlert>();
      a->turn = [main = &rig->main] { return main->runOne(); };
      a->answer = rig->alertAnswer;
      rig->alerts.push_back(a);
      return a;
    }
  };

  Rig() {
    grants->screen = grants->input = true;
    auto runner = std::make_shared<Alerts>();
    runner->rig = this;
    InputGrantMonitor::Ports ports{std::shared_ptr<Executor>(&main, [](Executor*) {}), runner, grants,
                                   [this](const std::string& line) { lines.push_back(line); }};
    InputGrantMonitor::Hooks hooks;
    hooks.clientConnected = [this] { return clientConnected; };
    hooks.changed = [this] { ++changes; };
    hooks.openAccessibility = [this] { ++accessOpened; };
    monitor = std::make_shared<InputGrantMonitor>(std::move(ports), std::move(hooks));
  }
  bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

TEST(InputGrantMonitor, EdgesAlertOncePerQuietPeriodAndTheGrantsReturnEndsThatAlertOnly) {
  Rig rig;
  rig.monitor->start();
  rig.grants->input = false;
  rig.main.advance(InputGrantMonitor::kPollNs);  // the poll finds it, then the alert answered with OK
  EXPECT_TRUE(rig.logged("[pen] WARN: input access is OFF with a client connected — pen/touch/key input DROPPED"));
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.accessOpened, 0);
  rig.grants->input = true;
  rig.monitor->poll();
  EXPECT_TRUE(rig.logged("[pen] input access is back — input injection works again"));
  EXPECT_EQ(rig.changes, 2);

  // Blocked again within 600 s: the line, but no second alert.
  rig.grants->input = false;
  rig.main.clockJump(599 * kNsPerSecond);
  rig.monitor->poll();
  rig.main.runReady();
  EXPECT_EQ(rig.alerts.size(), 1u);

  // After the quiet period the alert stays up until the last client leaves;
  // that ends it and leaves another alert (a pairing question) alone.
  rig.grants->input = true;
  rig.monitor->poll();
  rig.grants->input = false;
  rig.main.clockJump(2 * kNsPerSecond);
  rig.alertAnswer.reset();
  auto other = std::make_shared<test::FakeAlert>();
  rig.monitor->poll();
  rig.main.post([&] {
    EXPECT_TRUE(rig.monitor->alertUp());
    rig.clientConnected = false;
    rig.monitor->stop();  // serving ended: one last poll clears the blocked state
  });
  rig.main.runReady();
  ASSERT_EQ(rig.alerts.size(), 2u);
  EXPECT_EQ(rig.alerts[1]->endedWith, 1001);
  EXPECT_FALSE(other->endedWith.has_value());
  EXPECT_FALSE(rig.monitor->alertUp());
  EXPECT_FALSE(rig.monitor->isBlocked());
  EXPECT_TRUE(rig.logged("[pen] input-blocked notice cleared (no client connected)"));
  EXPECT_EQ(rig.main.pending(), 0u);  // stop() took the poll away

  // The first button opens how to allow input.
  Rig asked;
  asked.alertAnswer = 1000;
  asked.grants->input = false;
  asked.monitor->poll();
  asked.main.runReady();
  EXPECT_EQ(asked.accessOpened, 1);
}

// The owner may go while the alert's nested loop runs: the answer then
// reaches nobody.
TEST(InputGrantMonitor, AnAlertAnsweredAfterTheMonitorIsGoneDoesNothing) {
  Rig rig;
  rig.alertAnswer.reset();
  rig.grants->input = false;
  rig.monitor->poll();
  rig.main.post([&] {
    rig.monitor.reset();
    rig.alerts.back()->end(1000);
  });
  rig.main.runReady();
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.accessOpened, 0);
}

}  // namespace
}  // namespace lumenrail

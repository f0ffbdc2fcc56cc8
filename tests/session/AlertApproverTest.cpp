// The owner's pairing alert with a fake alert runner on a main thread of the
// test's own: answers, refusals, alerts ended from outside and the races.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <thread>

#include "session/PairingSupport.hpp"
#include "support/EventLog.hpp"
#include "support/FakeAlert.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

// A main thread that the alert's modal loop keeps turning; the approver only posts.
class TestMainQueue final : public Executor {
 public:
  TestMainQueue() : thread_([this] { while (runOne()) {} }) {}
  ~TestMainQueue() override {
    post({});
    thread_.join();
  }
  void post(Task task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    cv_.notify_all();
  }
  void postAfter(uint64_t, Task) override { ADD_FAILURE() << "the approver only posts"; }
  Timer startTimer(uint64_t, uint64_t, Task) override {
    ADD_FAILURE() << "the approver only posts";
    return {};
  }
  uint64_t nowNs() const override { return 0; }
  bool isCurrent() const override { return std::this_thread::get_id() == thread_.get_id(); }
  // False for the empty task that ends the thread.
  bool runOne() {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return !tasks_.empty(); });
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    if (!task) return false;
    task();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

struct Runner final : AlertRunner {
  TestMainQueue* main;
  std::mutex lock;
  std::vector<std::shared_ptr<test::FakeAlert>> made;
  std::shared_ptr<ModalAlert> make(const Content& content) override {
    auto a = std::make_shared<test::FakeAlert>();
    a->turn = [main = main] { return main->runOne(); };
    a->content = content;
    std::lock_guard l(lock);
    made.push_back(a);
    return a;
  }
  size_t count() {
    std::lock_guard l(lock);
    return made.size();
  }
  std::shared_ptr<test::FakeAlert> at(size_t i) {
    std::lock_guard l(lock);
    return made.at(i);
  }
};

TEST(AlertApprover, AnswersRefusalsEndsFromOutsideAndTheRaceOfAllowWithTheEnd) {
  const std::string fp = "ab12cd34";
  const std::string gone = PairingSupport::AlertApprover::kDisconnectReason;
  struct Case {
    const char* name;
    // Runs on the main thread while the alert is up.
    std::function<void(test::FakeAlert&, PairingSupport::AlertApprover&)> act;
    bool allowed;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"allow", [](test::FakeAlert& a, auto&) { a.end(1000); }, true, {}},
      {"deny", [](test::FakeAlert& a, auto&) { a.end(1001); }, false, {"[pair] " + fp + " denied by the owner"}},
      {"device left", [&](test::FakeAlert&, auto& ap) { ap.endPrompt(fp, gone); }, false,
       {"[pair] " + fp + " " + gone, "[pair] " + fp + " stale sheet dismissed — " + gone}},
      {"allow racing the end",
       [&](test::FakeAlert& a, auto& ap) {
         a.end(1000);
         ap.endPrompt(fp, gone);
       },
       false,
       {"[pair] " + fp + " " + gone,
        "[pair] " + fp + " approval ignored — it answered a prompt already ended (" + gone + ")"}},
  };
  for (const auto& c : cases) {
    auto main = std::make_shared<TestMainQueue>();
    auto runner = std::make_shared<Runner>();
    runner->main = main.get();
    test::EventLog log;
    PairingSupport::AlertApprover approver(main, runner, [&](const std::string& l) { log.add(l); });
    auto answer = std::async(std::launch::async, [&] { return approver.approve("123456", fp, "Pad\x07"); });
    ASSERT_TRUE(test::eventually([&] { return runner->count() == 1; })) << c.name;
    auto alert = runner->at(0);
    main->post([&] {
      approver.endPrompt("someone-else", gone);  // no live alert: nothing
      c.act(*alert, approver);
    });
    EXPECT_EQ(answer.get(), c.allowed) << c.name;
    EXPECT_EQ(log.lines(), c.lines) << c.name;
    EXPECT_EQ(alert->content.buttons.size(), 2u);
    EXPECT_TRUE(alert->content.raisedByPeer) << "a device's question must take no focus and refuse by default";
  }
}

TEST(AlertApprover, ARedialEndsTheEarlierAlertThenAsksAgainAndAnEndedMainLoopRefuses) {
  const std::string fp = "ab12cd34";
  auto main = std::make_shared<TestMainQueue>();
  auto runner = std::make_shared<Runner>();
  runner->main = main.get();
  test::EventLog log;
  PairingSupport::AlertApprover approver(main, runner, [&](const std::string& l) { log.add(l); });
  auto first = std::async(std::launch::async, [&] { return approver.approve("111111", fp, ""); });
  ASSERT_TRUE(test::eventually([&] { return runner->count() == 1; }));
  auto second = std::async(std::launch::async, [&] { return approver.approve("222222", fp, ""); });
  EXPECT_FALSE(first.get());
  ASSERT_TRUE(test::eventually([&] { return runner->count() == 2; }));
  EXPECT_EQ(runner->at(0)->endedWith, 1001);
  main->post([&] { runner->at(1)->end(1000); });
  EXPECT_TRUE(second.get());
  const std::string redial = PairingSupport::AlertApprover::kRedialReason;
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[pair] " + fp + " " + redial,
                                                   "[pair] " + fp + " stale sheet dismissed — " + redial}));

  // A main queue that drops its work: the question is refused, not left waiting.
  struct Dropping final : Executor {
    void post(Task) override {}
    void postAfter(uint64_t, Task) override {}
    Timer startTimer(uint64_t, uint64_t, Task) override { return {}; }
    uint64_t nowNs() const override { return 0; }
    bool isCurrent() const override { return false; }
  };
  PairingSupport::AlertApprover ended(std::make_shared<Dropping>(), runner);
  EXPECT_FALSE(ended.approve("333333", fp, ""));
}

}  // namespace
}  // namespace lumenrail

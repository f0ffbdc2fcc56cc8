// The main loop's executor on a real Qt event loop: work from other threads
// lands on the GUI thread, timers stop when cancelled (from their own tick
// too), and nothing runs once the executor is gone.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include "ui/qt/QtMainExecutor.hpp"

namespace lumenrail {
namespace {

TEST(QtMainExecutor, RunsWorkOnTheGuiThreadStopsCancelledTimersAndDropsWorkOnceGone) {
  auto main = std::make_unique<QtMainExecutor>();
  EXPECT_TRUE(main->isCurrent());
  std::vector<std::string> ran;
  bool onGuiThread = true;
  std::thread worker([&] {
    EXPECT_FALSE(main->isCurrent());
    main->post([&] {
      onGuiThread = onGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
      ran.push_back("posted");
    });
    main->postAfter(1'000'000, [&] {
      onGuiThread = onGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
      ran.push_back("delayed");
    });
  });
  worker.join();

  int ticks = 0;
  Executor::Timer timer;
  timer = main->startTimer(0, 1'000'000, [&] {
    if (++ticks == 3) timer.cancel();  // from inside its own tick
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ran.size() == 2 && ticks == 3; }, 10'000));
  EXPECT_EQ(ran, (std::vector<std::string>{"posted", "delayed"}));
  EXPECT_TRUE(onGuiThread);
  EXPECT_FALSE(timer.armed());

  bool lateRan = false;
  main->post([&] { lateRan = true; });
  main->postAfter(0, [&] { lateRan = true; });
  Executor::Timer outliving = main->startTimer(0, 0, [&] { lateRan = true; });
  main.reset();
  QCoreApplication::processEvents();
  EXPECT_FALSE(lateRan);
  EXPECT_EQ(ticks, 3);
  outliving.cancel();  // after its executor: harmless
}

}  // namespace
}  // namespace lumenrail

// The Qt executor runs the model's work as events of the UI thread's loop:
// in due order, cancellable, reachable from other threads, and with no
// timer armed while nothing waits.
#include "app/ui/qt_executor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>
#include <vector>

namespace choralink::ui {
namespace {

// Runs the event loop until `done` holds or a second has passed.
bool spinUntil(const std::function<bool()>& done) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done() && elapsed.elapsed() < 1000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return done();
}

// Delays are measured on the monotonic clock the executor tells.
TEST(QtExecutorTest, RunsByDueTimeThenPostingOrderAndSkipsCancelledWork) {
  QtExecutor executor("app.choralink.main");
  std::vector<std::string> ran;
  const double posted = executor.now();
  double earlyAt = -1;
  executor.postAfter(0.03, [&] { ran.push_back("late"); });
  executor.postAfter(0.01, [&] {
    ran.push_back("early");
    earlyAt = executor.now();
  });
  TaskHandle dropped = executor.postAfter(0.02, [&] { ran.push_back("cancelled"); });
  executor.post([&] { ran.push_back("first"); });
  executor.post([&] {
    ran.push_back("second");
    // Posted from a task: runs after the current one, not inside it.
    executor.post([&] { ran.push_back("nested"); });
    ran.push_back("second done");
  });
  dropped.cancel();
  ASSERT_TRUE(spinUntil([&] { return ran.size() == 6; }));
  EXPECT_EQ(
      ran, (std::vector<std::string>{"first", "second", "second done", "nested", "early", "late"}));
  EXPECT_GE(earlyAt - posted, 0.01);
}

TEST(QtExecutorTest, ANestedEventLoopInsideATaskRunsNoOtherTask) {
  QtExecutor executor("main");
  std::vector<std::string> ran;
  executor.post([&] {
    ran.push_back("modal begins");
    executor.post([&] { ran.push_back("next"); });
    // As a modal dialog would: the loop runs while the task waits.
    QElapsedTimer spin;
    spin.start();
    while (spin.elapsed() < 30)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    ran.push_back("modal ends");
  });
  ASSERT_TRUE(spinUntil([&] { return ran.size() == 3; }));
  EXPECT_EQ(ran, (std::vector<std::string>{"modal begins", "modal ends", "next"}));
}

TEST(QtExecutorTest, WorkPostedFromAnotherThreadRunsOnTheOwningThread) {
  QtExecutor executor("main");
  std::thread::id ranOn;
  bool currentThere = true;
  std::thread poster([&] {
    currentThere = executor.isCurrent();
    executor.post([&] { ranOn = std::this_thread::get_id(); });
  });
  poster.join();
  ASSERT_TRUE(spinUntil([&] { return ranOn != std::thread::id(); }));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_FALSE(currentThere);
  EXPECT_TRUE(executor.isCurrent());
}

TEST(QtExecutorTest, RepeatingTimerStopsTickingWhenCancelledAndNoTimerStaysArmed) {
  QtExecutor executor("main");
  int ticks = 0;
  TaskHandle meter = executor.postRepeating(0.005, 0.005, [&] { ++ticks; });
  ASSERT_TRUE(spinUntil([&] { return ticks >= 3; }));
  meter.cancel();
  const int atCancel = ticks;
  // The tick already queued is dropped when its time comes; then the loop
  // has nothing to wake up for.
  ASSERT_TRUE(spinUntil([&] { return executor.pending() == 0 && !executor.timerArmed(); }));
  EXPECT_EQ(ticks, atCancel);
}

}  // namespace
}  // namespace choralink::ui

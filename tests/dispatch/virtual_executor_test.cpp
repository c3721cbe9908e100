// The virtual-time executor's promises: time order, posting order for ties,
// work posted while advancing, cancellation, timers, and waiting through the
// executor's clock.
#include "engine/dispatch/virtual_executor.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace choralink {
namespace {

class VirtualExecutorTest : public ::testing::Test {
 protected:
  VirtualExecutor clock{"test"};
  std::vector<std::string> log;

  Task note(std::string what) {
    return [this, what] { log.push_back(what + "@" + std::to_string(clock.now())); };
  }
};

TEST_F(VirtualExecutorTest, RunsDueTasksInTimeOrderAtTheirOwnTimeAndTiesInPostingOrder) {
  clock.postAfter(0.3, note("c"));
  clock.postAfter(0.1, note("a"));
  clock.postAfter(0.3, note("d"));
  clock.post(note("now"));
  clock.postAfter(0.2, note("b"));

  EXPECT_EQ(clock.advanceBy(0.199), 2u);
  EXPECT_EQ(clock.advanceBy(0.101), 3u);
  EXPECT_EQ(log, (std::vector<std::string>{"now@0.000000", "a@0.100000", "b@0.200000", "c@0.300000",
                                           "d@0.300000"}));
  EXPECT_DOUBLE_EQ(clock.now(), 0.3);
}

TEST_F(VirtualExecutorTest, TasksPostedWhileAdvancingRunInTheSamePassWhenDue) {
  clock.postAfter(1.0, [this] {
    log.push_back("first");
    clock.postAfter(0.5, [this] { log.push_back("chained"); });
    clock.postAfter(5.0, [this] { log.push_back("too late"); });
  });
  clock.advanceBy(2.0);
  EXPECT_EQ(log, (std::vector<std::string>{"first", "chained"}));
  EXPECT_EQ(clock.pendingCount(), 1u);
  EXPECT_EQ(clock.nextDueTime(), 6.0);
}

TEST_F(VirtualExecutorTest, CancelledWorkNeverRunsButADroppedHandleDoesNotCancel) {
  TaskHandle handle = clock.postAfter(0.5, note("cancelled"));
  TaskHandle later = clock.postAfter(2.0, note("cancelled by an earlier task"));
  clock.postAfter(0.6, [later] { later.cancel(); });
  { clock.postAfter(0.7, note("kept")); }
  handle.cancel();
  EXPECT_TRUE(handle.isCancelled());
  clock.advanceBy(3.0);
  EXPECT_EQ(log, (std::vector<std::string>{"kept@0.700000"}));
}

TEST_F(VirtualExecutorTest, RepeatingTimerTicksOnItsGridUntilCancelledFromOutsideOrItsOwnTick) {
  int ownTicks = 0;
  TaskHandle own;
  own = clock.postRepeating(0.5, 0.5, [&] {
    if (++ownTicks == 2) own.cancel();
  });
  TaskHandle timer = clock.postRepeating(1.0, 1.0, note("tick"));
  clock.advanceBy(3.5);
  EXPECT_EQ(log, (std::vector<std::string>{"tick@1.000000", "tick@2.000000", "tick@3.000000"}));
  timer.cancel();
  clock.advanceBy(5.0);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(ownTicks, 2);
  EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST_F(VirtualExecutorTest, TimerCollapsesTicksMissedWhileTheQueueWasBlocked) {
  clock.postRepeating(1.0, 1.0, note("tick"));
  clock.postAfter(1.5, [this] { clock.sleepFor(3.0); });  // blocks the queue until 4.5
  clock.advanceBy(5.2);
  // 1.0 on time; 2, 3 and 4 were missed: one late tick at 4.5, then the grid again at 5.
  EXPECT_EQ(log, (std::vector<std::string>{"tick@1.000000", "tick@4.500000", "tick@5.000000"}));
}

TEST_F(VirtualExecutorTest, SleepForMovesTimeWithoutRunningOtherTasks) {
  clock.postAfter(0.1, note("other"));
  clock.post([this] {
    clock.sleepFor(1.0);
    log.push_back("woke@" + std::to_string(clock.now()));
  });
  clock.runDue();
  // The other task was due during the sleep; it runs afterwards, late.
  EXPECT_EQ(log, (std::vector<std::string>{"woke@1.000000"}));
  clock.runDue();
  EXPECT_EQ(log.back(), "other@1.000000");
  // settle() runs what a sleeping task leaves due in one call.
  clock.postAfter(0.1, note("late"));
  clock.post([this] { clock.sleepFor(1.0); });
  EXPECT_EQ(clock.settle(), 2u);
  EXPECT_EQ(log.back(), "late@2.000000");
}

TEST_F(VirtualExecutorTest, RunDueRunsChainsOfImmediateWorkAndRunNextJumpsToTheNext) {
  clock.post([this] {
    log.push_back("1");
    clock.post([this] { log.push_back("2"); });
  });
  clock.postAfter(0.01, note("later"));
  EXPECT_EQ(clock.runDue(), 2u);
  EXPECT_EQ(log, (std::vector<std::string>{"1", "2"}));
  EXPECT_DOUBLE_EQ(clock.now(), 0.0);
  // runNext jumps to the earliest task.
  EXPECT_TRUE(clock.runNext());
  EXPECT_DOUBLE_EQ(clock.now(), 0.01);
  EXPECT_FALSE(clock.runNext());
}

TEST_F(VirtualExecutorTest, RunUntilStopsWhenDoneOrBeyondTheLimit) {
  int count = 0;
  clock.postRepeating(1.0, 1.0, [&] { ++count; });
  EXPECT_TRUE(clock.runUntil([&] { return count == 3; }, 100));
  EXPECT_DOUBLE_EQ(clock.now(), 3.0);
  EXPECT_FALSE(clock.runUntil([] { return false; }, 2.5));
  EXPECT_EQ(count, 5);
  // Work due exactly at the limit is within it.
  EXPECT_TRUE(clock.runUntil([&] { return count == 6; }, 1.0));
}

TEST_F(VirtualExecutorTest, AdvancingFromInsideATaskIsRefused) {
  clock.post([this] { clock.advanceBy(1.0); });
  EXPECT_THROW(clock.runDue(), std::logic_error);
  // The executor stays usable.
  clock.post(note("after"));
  EXPECT_EQ(clock.runDue(), 1u);
}

TEST_F(VirtualExecutorTest, SubmitDeliversTheResultOnceTheTaskRunsOnTheExecutor) {
  auto result = submit(clock, [this] { return clock.isCurrent(); });
  EXPECT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_FALSE(clock.isCurrent());
  clock.runDue();
  EXPECT_TRUE(result.get());
}

// ---- waiting through the executor's clock ----

// A condition never met is checked every 0.05 s until the deadline (at 0,
// 0.05, …, 1.95); one that the clock alone makes true at t = 0.42 (as a device
// joining an aggregate does) is noticed at the next check.
TEST_F(VirtualExecutorTest, BoundedPollChecksOnVirtualTimeUntilMetOrTheDeadline) {
  const struct {
    double becomesTrue;
    bool met;
    int checks;
    double endsAt;
  } cases[] = {{1e9, false, 40, 2.0}, {0.42, true, 10, 0.45}};
  for (const auto& c : cases) {
    VirtualExecutor executor{"poll"};
    int checks = 0;
    bool met = !c.met;
    executor.post([&] {
      met = boundedPoll(executor, 0.05, 2.0, [&] {
        ++checks;
        return executor.now() >= c.becomesTrue;
      });
    });
    executor.runDue();
    EXPECT_EQ(met, c.met);
    EXPECT_EQ(checks, c.checks);
    EXPECT_NEAR(executor.now(), c.endsAt, 1e-9);
  }
}

// The poll completes on the executor while other work runs there (here the
// work that makes the condition true), or reports the timeout; cancelled, it
// neither checks nor completes any more.
TEST_F(VirtualExecutorTest, PollAsyncCompletesOnTheExecutorOrTimesOutOrIsCancelled) {
  for (const double flagAt : {0.3, 1e9}) {
    VirtualExecutor executor{"poll"};
    std::optional<bool> outcome;
    double doneAt = 0;
    bool flag = false;
    pollAsync(
        executor, 0.05, 1.0, [&] { return flag; },
        [&](bool met) {
          outcome = met;
          doneAt = executor.now();
        });
    executor.postAfter(flagAt, [&] { flag = true; });
    executor.advanceBy(3.0);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, flagAt < 1.0);
    EXPECT_NEAR(doneAt, std::min(flagAt, 1.0), 1e-9);
  }

  bool called = false;
  int checks = 0;
  TaskHandle polling = pollAsync(
      clock, 0.05, 1.0,
      [&] {
        ++checks;
        return false;
      },
      [&](bool) { called = true; });
  clock.advanceBy(0.12);
  polling.cancel();
  clock.advanceBy(3.0);
  EXPECT_FALSE(called);
  EXPECT_EQ(checks, 3);
}

}  // namespace
}  // namespace choralink

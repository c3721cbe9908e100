// The thread-backed serial queue: one task at a time on its own thread, in
// due-time order, cancellable, and quiet after shutdown. Waits are on futures
// and latches, never on sleeps.
#include "engine/dispatch/serial_queue.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace choralink {
namespace {

constexpr auto kGenerous = std::chrono::seconds(10);

TEST(SerialQueueTest, RunsTasksOneAtATimeOnItsOwnThreadInPostingOrder) {
  SerialQueue queue("app.choralink.test");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 200; ++i) {
    queue.post([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  auto onQueue = submit(queue, [&] { return queue.isCurrent(); });
  ASSERT_EQ(onQueue.wait_for(kGenerous), std::future_status::ready);
  EXPECT_TRUE(onQueue.get());
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(order[i], i);
}

TEST(SerialQueueTest, DelayedWorkRunsAfterEarlierDueWorkAndCancelledWorkNever) {
  SerialQueue queue("delays");
  std::mutex m;
  std::vector<int> order;
  std::promise<void> done;
  queue.postAfter(0.02, [&] {
    std::lock_guard lock(m);
    order.push_back(2);
    done.set_value();
  });
  queue.postAfter(0.001, [&] {
    std::lock_guard lock(m);
    order.push_back(1);
  });
  // Were it to run, it would run on the queue's thread like the others: no lock needed.
  queue.postAfter(0.01, [&] { order.push_back(3); }).cancel();
  ASSERT_EQ(done.get_future().wait_for(kGenerous), std::future_status::ready);
  std::lock_guard lock(m);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(SerialQueueTest, ShutdownDropsPendingWorkAndLaterPosts) {
  std::atomic<bool> ran{false};
  SerialQueue queue("shutdown");
  queue.postAfter(60.0, [&] { ran = true; });
  EXPECT_EQ(queue.pendingCount(), 1u);
  queue.shutdown();
  queue.post([&] { ran = true; });
  EXPECT_EQ(queue.pendingCount(), 0u);
  EXPECT_FALSE(ran);
}

TEST(SerialQueueTest, RepeatingTimerTicksUntilCancelled) {
  SerialQueue queue("timer");
  std::atomic<int> ticks{0};
  std::promise<void> third;
  TaskHandle timer = queue.postRepeating(0.001, 0.001, [&] {
    if (++ticks == 3) third.set_value();
  });
  ASSERT_EQ(third.get_future().wait_for(kGenerous), std::future_status::ready);
  timer.cancel();
  // After the cancel has been seen on the queue, no tick follows.
  submit(queue, [] {}).wait();
  const int seen = ticks;
  submit(queue, [] {}).wait();
  EXPECT_EQ(ticks, seen);
}

TEST(SerialQueueTest, ThreadNamesFitTheSystemsLimit) {
  EXPECT_EQ(osThreadName("app.choralink.engine"), "cl.engine");
  EXPECT_EQ(osThreadName("app.choralink.log"), "cl.log");
  EXPECT_EQ(osThreadName("timer"), "timer");
  EXPECT_EQ(osThreadName("a-rather-long-queue-label"), "a-rather-long-q");
  // Fourteen letters and a two-byte "é": a cut at 15 bytes would split it.
  EXPECT_EQ(osThreadName("abcdefghijklmn\xc3\xa9"), "abcdefghijklmn");

  SerialQueue queue("app.choralink.engine");
  auto name = submit(queue, [] {
    char buffer[16] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    return std::string(buffer);
  });
  ASSERT_EQ(name.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(name.get(), "cl.engine");
}

}  // namespace
}  // namespace choralink

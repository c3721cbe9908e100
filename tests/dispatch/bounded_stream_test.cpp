// Engine → app streams: a busy consumer sees only the newest value, or the
// newest N events, in order; producers on many threads never block.
#include "engine/dispatch/bounded_stream.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "engine/dispatch/serial_queue.h"
#include "engine/dispatch/virtual_executor.h"

namespace choralink {
namespace {

struct BoundedStreamTest : ::testing::Test {
  VirtualExecutor main{"main"};
  std::vector<int> seen;
};

TEST_F(BoundedStreamTest, BusyConsumerOfLatestValueStreamSeesOnlyTheNewest) {
  LatestValueStream<int> lists;
  auto subscription = lists.consume(main, [&](int v) { seen.push_back(v); });
  lists.send(1);
  lists.send(2);
  lists.send(3);  // the consumer has not run yet
  main.runDue();
  EXPECT_EQ(seen, (std::vector<int>{3}));
  EXPECT_EQ(lists.droppedCount(), 2u);
  lists.send(4);
  main.runDue();
  EXPECT_EQ(seen, (std::vector<int>{3, 4}));
}

TEST_F(BoundedStreamTest, KeepsTheNewestNInOrderAndDropsTheOldest) {
  BoundedStream<int> events(32);
  auto subscription = events.consume(main, [&](int v) { seen.push_back(v); });
  for (int i = 1; i <= 40; ++i)
    events.send(i);
  main.runDue();
  std::vector<int> newest(32);
  std::iota(newest.begin(), newest.end(), 9);
  EXPECT_EQ(seen, newest);
  EXPECT_EQ(events.droppedCount(), 8u);
}

TEST_F(BoundedStreamTest, DeliversOneElementPerTaskSoThePolicyKeepsApplying) {
  BoundedStream<int> events(2);
  auto subscription = events.consume(main, [&](int v) {
    seen.push_back(v);
    if (v == 1) {
      // While the consumer handles 1, the producer races ahead.
      events.send(3);
      events.send(4);
    }
  });
  events.send(1);
  events.send(2);
  main.runDue();
  EXPECT_EQ(seen, (std::vector<int>{1, 3, 4}));
}

TEST_F(BoundedStreamTest, ElementsWaitForAConsumerOrAreTakenWithoutOne) {
  BoundedStream<std::string> events(3);
  for (const char* v : {"a", "b", "c", "d"})
    events.send(v);
  EXPECT_EQ(events.buffered(), 3u);
  EXPECT_EQ(events.takeBuffered(), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(events.buffered(), 0u);
  events.send("e");
  events.send("f");
  std::vector<std::string> texts;
  auto subscription = events.consume(main, [&](std::string v) { texts.push_back(v); });
  main.runDue();
  EXPECT_EQ(texts, (std::vector<std::string>{"e", "f"}));
}

TEST_F(BoundedStreamTest, FinishDeliversWhatIsBufferedThenEnds) {
  BoundedStream<int> events(32);
  bool finished = false;
  auto subscription = events.consume(
      main, [&](int v) { seen.push_back(v); }, [&] { finished = true; });
  events.send(1);
  events.finish();
  events.send(2);  // ignored
  main.runDue();
  EXPECT_EQ(seen, (std::vector<int>{1}));
  EXPECT_TRUE(finished);
}

TEST_F(BoundedStreamTest, OneConsumerAtATimeAndACancelledOneGetsNothingMore) {
  BoundedStream<int> events(32);
  std::vector<int> first, second;
  auto subscription = events.consume(main, [&](int v) { first.push_back(v); });
  EXPECT_THROW((void)events.consume(main, [](int) {}), std::logic_error);
  events.send(1);
  subscription.cancel();
  main.runDue();
  EXPECT_TRUE(first.empty());
  auto next = events.consume(main, [&](int v) { second.push_back(v); });
  main.runDue();
  EXPECT_EQ(second, (std::vector<int>{1}));
}

// Producers hammer the stream from several threads while the consumer runs on
// its own queue: nothing blocks, every element is delivered or counted as
// dropped, and each producer's elements arrive in the order it sent them.
TEST_F(BoundedStreamTest, ConcurrentProducersKeepPerProducerOrderAndAccountForEverything) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  SerialQueue consumerQueue("consumer");
  BoundedStream<std::pair<int, int>> events(32);
  std::mutex m;
  std::map<int, std::vector<int>> received;
  std::size_t total = 0;
  auto subscription = events.consume(consumerQueue, [&](std::pair<int, int> e) {
    std::lock_guard lock(m);
    received[e.first].push_back(e.second);
    ++total;
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&events, p] {
      for (int i = 0; i < kPerProducer; ++i)
        events.send({p, i});
    });
  }
  for (auto& t : producers)
    t.join();
  // Drain: the queue delivers what is left, one element per task.
  for (int spins = 0; spins < 10000; ++spins) {
    submit(consumerQueue, [] {}).wait();
    if (events.buffered() == 0) break;
  }
  submit(consumerQueue, [] {}).wait();
  std::lock_guard lock(m);
  EXPECT_EQ(total + events.droppedCount(), std::size_t{kProducers} * kPerProducer);
  for (const auto& [producer, values] : received) {
    for (std::size_t i = 1; i < values.size(); ++i) {
      ASSERT_LT(values[i - 1], values[i]) << "producer " << producer;
    }
  }
}

TEST_F(BoundedStreamTest, LatestValueUnderConcurrentProducersEndsWithTheLastValueSent) {
  SerialQueue consumerQueue("consumer");
  LatestValueStream<int> lists;
  std::atomic<int> last{-1};
  std::atomic<bool> backwards{false};
  auto subscription = lists.consume(consumerQueue, [&](int v) {
    if (v < last.load()) backwards = true;
    last = v;
  });
  std::atomic<int> counter{0};
  std::mutex sendOrder;  // one global sequence, so "newest" is well defined
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) {
        std::lock_guard lock(sendOrder);
        lists.send(counter++);
      }
    });
  }
  for (auto& t : producers)
    t.join();
  for (int spins = 0; spins < 1000 && last.load() != counter.load() - 1; ++spins) {
    submit(consumerQueue, [] {}).wait();
  }
  EXPECT_EQ(last.load(), counter.load() - 1);
  EXPECT_FALSE(backwards);
}

}  // namespace
}  // namespace choralink

// A serial queue backed by one thread of its own, on real (steady) time: the
// engine's "app.choralink.engine" queue, the log's queue, and the simulator's
// clock when it runs in real time. Tasks run one at a time in due-time order.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "engine/dispatch/executor.h"
#include "engine/dispatch/timed_task_queue.h"

namespace choralink {

class SerialQueue final : public Executor {
 public:
  explicit SerialQueue(std::string label);
  // Shuts down (see shutdown()). Must not run as a task of this queue.
  ~SerialQueue() override;

  // Seconds of std::chrono::steady_clock: every SerialQueue shares one clock.
  double now() const override;
  const std::string& label() const override { return label_; }
  bool isCurrent() const override;
  // Sleeps the calling thread.
  void sleepFor(double seconds) override;

  // Lets a running task finish, drops every task not yet started and joins
  // the thread; later posts are dropped. Must not be called from a task of
  // this queue (it would wait for itself); from there it only stops taking
  // work and the destructor joins. Idempotent.
  void shutdown();

  // Number of queued tasks (due or not). Any thread; for diagnostics.
  std::size_t pendingCount() const;

 protected:
  void schedule(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task) override;

 private:
  void run();

  const std::string label_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  TimedTaskQueue tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

// Steady-clock seconds, the time base of SerialQueue.
double steadySeconds();

// The name the queue's thread carries in the operating system. Linux allows
// 15 bytes, too few for our reverse-DNS labels, so "app.choralink." becomes
// "cl." ("app.choralink.engine" runs as "cl.engine") and the rest is cut to
// 15 bytes without splitting a UTF-8 sequence. The label itself stays exact.
std::string osThreadName(std::string_view label);

}  // namespace choralink

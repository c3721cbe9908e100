// An executor whose clock moves only when a test moves it. Tasks run on the
// thread that calls advanceBy / advanceTo / runDue, in due-time order (ties in
// posting order), each with the clock set to its due time; tasks posted while
// advancing run in the same pass when they fall due within it. This is how
// every timed behaviour of the engine is tested without sleeping.
//
// post/postAfter/postRepeating/now may be called from any thread (a simulated
// IO thread may post); advancing is for one thread at a time and must not be
// nested inside a task of this executor.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/dispatch/executor.h"
#include "engine/dispatch/timed_task_queue.h"

namespace choralink {

class VirtualExecutor final : public Executor {
 public:
  explicit VirtualExecutor(std::string label = "virtual", double start = 0.0);

  double now() const override;
  const std::string& label() const override { return label_; }
  // True on the thread that is running this executor's tasks right now.
  bool isCurrent() const override;
  // Moves the clock forward without running tasks; what falls due meanwhile
  // runs at the next advance, late, as after a blocked serial queue.
  void sleepFor(double seconds) override;

  // Runs every task due up to now + seconds, then leaves the clock there.
  // Returns the number of tasks run. Throws std::logic_error when nested.
  std::size_t advanceBy(double seconds);
  // The same with an absolute time; a time in the past runs what is due now.
  std::size_t advanceTo(double time);
  // Runs every task due now, including the ones those tasks post for now.
  std::size_t runDue();
  // runDue() until nothing is due: a task that moves the clock (sleepFor, as
  // a session build waiting for devices to join) leaves more due behind it.
  std::size_t settle();
  // Moves the clock to the earliest pending task and runs every task due
  // then. Returns false (clock untouched) when nothing is pending.
  bool runNext();
  // Runs tasks in time order until `done()` holds (checked before each step)
  // or the next task lies more than `limit` seconds ahead; returns done().
  bool runUntil(const std::function<bool()>& done, double limit);

  std::size_t pendingCount() const;
  std::optional<double> nextDueTime() const;

 protected:
  void schedule(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task) override;

 private:
  std::size_t runThrough(double target);

  const std::string label_;
  mutable std::mutex mutex_;
  TimedTaskQueue tasks_;
  double now_;
  std::thread::id runner_;  // the advancing thread while a pass runs
};

}  // namespace choralink

// The app model's Executor in the application: its tasks and timers are
// events of the Qt event loop of the thread that created it, so model code
// runs between the views' own event handling and never concurrently with it.
//
// Work may be posted from any thread. Tasks run one at a time in order of
// their due time, ties in posting order, on std::chrono::steady_clock. One
// single-shot Qt timer is armed for the earliest due task and only while any
// task is waiting: an idle application runs no timer at all.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/dispatch/executor.h"
#include "engine/dispatch/timed_task_queue.h"

class QTimer;
class QObject;

namespace choralink::ui {

class QtExecutor final : public Executor {
 public:
  // Binds to the calling thread, which must run a Qt event loop.
  explicit QtExecutor(std::string label);
  // Drops every task still waiting; on the owning thread only.
  ~QtExecutor() override;

  double now() const override;
  const std::string& label() const override { return label_; }
  // True on the owning thread: everything that runs there (views' event
  // handlers included) is as serial as this executor's own tasks.
  bool isCurrent() const override;
  // Sleeps the calling thread; the event loop does not run meanwhile.
  void sleepFor(double seconds) override;

  // Tasks waiting, cancelled ones included until their time comes.
  std::size_t pending() const;
  // Whether the wake-up timer is armed (false whenever nothing waits).
  bool timerArmed() const;

 protected:
  void schedule(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task) override;

 private:
  void runDue();
  // Arms the timer for the earliest live task, or stops it. Owning thread.
  void rearm();
  void requestRearm();

  const std::string label_;
  const std::thread::id owner_;
  const std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
  mutable std::mutex mutex_;
  TimedTaskQueue queue_;
  bool rearmRequested_ = false;
  bool running_ = false;  // owning thread only
  // Qt objects, on the owning thread.
  std::unique_ptr<QObject> context_;
  QTimer* timer_ = nullptr;
};

}  // namespace choralink::ui

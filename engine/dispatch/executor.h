// The one way engine code runs work later: an Executor runs tasks one at a
// time, in order of their due time (ties in posting order), and tells the time
// on its own monotonic clock. Two implementations exist: SerialQueue (a thread,
// real time) and VirtualExecutor (a clock that only moves when a test moves it).
//
// Time is a double in seconds everywhere in the engine (0.25 s debounce, 2 s
// joins, 1 s watchdog), so the executors speak seconds as doubles too. now()
// has an arbitrary origin; only differences between readings mean anything.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace choralink {

using Task = std::function<void()>;

// A cancellable reference to delayed work or a repeating timer. Copies share
// the same work. Dropping a handle does not cancel (as with a dispatched work
// item): owners cancel explicitly. cancel() may be called from any thread; work
// that has not started by then never starts, a run already in progress ends
// normally, and a timer ticks no more.
class TaskHandle {
 public:
  TaskHandle() = default;

  // A fresh handle not tied to any queued work yet, for composed operations
  // (a chain of tasks that all check one flag).
  static TaskHandle create() { return TaskHandle(std::make_shared<std::atomic<bool>>(false)); }

  void cancel() const {
    if (state_) state_->store(true, std::memory_order_release);
  }
  bool isCancelled() const { return state_ && state_->load(std::memory_order_acquire); }
  // Whether the handle refers to any work at all (a default handle does not).
  explicit operator bool() const { return state_ != nullptr; }

 private:
  friend class Executor;
  explicit TaskHandle(std::shared_ptr<std::atomic<bool>> state) : state_(std::move(state)) {}
  std::shared_ptr<std::atomic<bool>> state_;
};

class Executor {
 public:
  virtual ~Executor() = default;
  Executor() = default;
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Seconds on this executor's monotonic clock. Any thread.
  virtual double now() const = 0;

  // The label given at construction ("app.choralink.engine" and the like).
  virtual const std::string& label() const = 0;

  // Whether the calling code runs as a task of this executor.
  virtual bool isCurrent() const = 0;

  // Blocks the calling task for `seconds` of this executor's time. A real
  // queue sleeps its thread; the virtual executor moves its clock on without
  // running other tasks, which is exactly what a blocked serial queue looks
  // like to everything else. Non-positive values return at once.
  virtual void sleepFor(double seconds) = 0;

  // Runs `task` as soon as possible, after every task already due. Any thread.
  void post(Task task);

  // Runs `task` `delay` seconds from now (negative counts as 0). Any thread.
  TaskHandle postAfter(double delay, Task task);

  // Runs `tick` first `firstDelay` seconds from now, then every `period`
  // seconds on a fixed grid (no accumulated lateness). When the executor was
  // blocked past several ticks, the missed ticks collapse into one, as a
  // dispatch timer does. A period below 1 ms is raised to 1 ms. Any thread.
  TaskHandle postRepeating(double firstDelay, double period, Task tick);

 protected:
  // Queues `task` for time `due` on this executor's clock; the executor
  // skips it when `cancelled` is set by the time it would run. Any thread.
  virtual void schedule(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task) = 0;

  // For implementations: runs one queued task unless it was cancelled;
  // returns whether it ran.
  static bool runUnlessCancelled(const std::shared_ptr<std::atomic<bool>>& cancelled,
                                 const Task& task);
};

// Waits for `condition` through the executor's clock: checks it at once and
// then after every `interval` seconds, as long as the time since the call is
// below `timeout`; returns whether it held at a check. The calling task blocks
// (Executor::sleepFor), so on a VirtualExecutor the wait costs no real time
// and moves virtual time forward by the intervals slept; work of other tasks
// on the same executor runs only after the caller returns, as on a real
// serial queue. The last check happens before the deadline: a condition that
// becomes true only during the final sleep is reported as not met.
bool boundedPoll(Executor& executor, double interval, double timeout,
                 const std::function<bool()>& condition);

// The non-blocking form of boundedPoll: checks `condition` as a task on
// `executor` now and every `interval` seconds while the time since the call is
// below `timeout`, then calls `done(met)` on the executor. Cancelling the
// returned handle stops the polling without calling `done`.
TaskHandle pollAsync(Executor& executor, double interval, double timeout,
                     std::function<bool()> condition, std::function<void(bool)> done);

// Runs `fn` on `executor` and returns a future of its result (or exception).
// On a VirtualExecutor the future becomes ready once the test runs the task.
template <class Fn>
auto submit(Executor& executor, Fn fn) -> std::future<std::invoke_result_t<Fn&>> {
  using R = std::invoke_result_t<Fn&>;
  auto task = std::make_shared<std::packaged_task<R()>>(std::move(fn));
  std::future<R> result = task->get_future();
  executor.post([task] { (*task)(); });
  return result;
}

}  // namespace choralink

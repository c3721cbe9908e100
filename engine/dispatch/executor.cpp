#include "engine/dispatch/executor.h"

#include <algorithm>
#include <cmath>

namespace choralink {

namespace {

constexpr double kMinimumPeriod = 0.001;

// Shared by every tick of one repeating timer: the grid it ticks on.
struct TimerState {
  Executor* executor = nullptr;
  double period = 0;
  double nextDue = 0;
  Task tick;
  std::shared_ptr<std::atomic<bool>> cancelled;
};

}  // namespace

bool Executor::runUnlessCancelled(const std::shared_ptr<std::atomic<bool>>& cancelled,
                                  const Task& task) {
  if (cancelled && cancelled->load(std::memory_order_acquire)) return false;
  if (task) task();
  return true;
}

void Executor::post(Task task) {
  schedule(now(), nullptr, std::move(task));
}

TaskHandle Executor::postAfter(double delay, Task task) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  const double wait = std::isfinite(delay) ? std::max(delay, 0.0) : 0.0;
  schedule(now() + wait, cancelled, std::move(task));
  return TaskHandle(cancelled);
}

TaskHandle Executor::postRepeating(double firstDelay, double period, Task tick) {
  auto state = std::make_shared<TimerState>();
  state->executor = this;
  state->period = std::isfinite(period) ? std::max(period, kMinimumPeriod) : kMinimumPeriod;
  state->nextDue = now() + (std::isfinite(firstDelay) ? std::max(firstDelay, 0.0) : 0.0);
  state->tick = std::move(tick);
  state->cancelled = std::make_shared<std::atomic<bool>>(false);

  // Each run ticks, then queues the next grid point that lies ahead; the
  // closure owns the state, so a destroyed executor simply ends the cycle.
  auto run = std::make_shared<std::function<void()>>();
  std::weak_ptr<std::function<void()>> weakRun = run;
  *run = [state, weakRun] {
    state->tick();
    if (state->cancelled->load(std::memory_order_acquire)) return;
    const double current = state->executor->now();
    double next = state->nextDue + state->period;
    if (next < current) {
      const double missed = std::floor((current - next) / state->period) + 1.0;
      next += missed * state->period;
    }
    state->nextDue = next;
    if (auto self = weakRun.lock()) {
      state->executor->schedule(next, state->cancelled, [self] { (*self)(); });
    }
  };
  // The queued task holds `run`; `run` holds only a weak reference to
  // itself, so the chain is freed as soon as no task holds it.
  schedule(state->nextDue, state->cancelled, [run] { (*run)(); });
  return TaskHandle(state->cancelled);
}

bool boundedPoll(Executor& executor, double interval, double timeout,
                 const std::function<bool()>& condition) {
  const double deadline = executor.now() + timeout;
  while (true) {
    if (condition()) return true;
    executor.sleepFor(interval);
    if (!(executor.now() < deadline)) return false;
  }
}

namespace {

struct PollState {
  Executor* executor = nullptr;
  double interval = 0;
  double deadline = 0;
  std::function<bool()> condition;
  std::function<void(bool)> done;
  TaskHandle handle;
};

void pollStep(const std::shared_ptr<PollState>& state) {
  if (state->handle.isCancelled()) return;
  if (state->condition()) {
    state->done(true);
    return;
  }
  // Same rule as boundedPoll: sleep one interval, then check again only while
  // the deadline has not passed.
  state->executor->postAfter(state->interval, [state] {
    if (state->handle.isCancelled()) return;
    if (!(state->executor->now() < state->deadline)) {
      state->done(false);
      return;
    }
    pollStep(state);
  });
}

}  // namespace

TaskHandle pollAsync(Executor& executor, double interval, double timeout,
                     std::function<bool()> condition, std::function<void(bool)> done) {
  auto state = std::make_shared<PollState>();
  state->executor = &executor;
  state->interval = interval;
  state->deadline = executor.now() + timeout;
  state->condition = std::move(condition);
  state->done = std::move(done);
  // One cancellation flag for the whole chain, set up before the first task
  // can run on another thread.
  state->handle = TaskHandle::create();
  executor.post([state] { pollStep(state); });
  return state->handle;
}

}  // namespace choralink

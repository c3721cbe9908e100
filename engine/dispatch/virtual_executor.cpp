#include "engine/dispatch/virtual_executor.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace choralink {

VirtualExecutor::VirtualExecutor(std::string label, double start)
    : label_(std::move(label)), now_(start) {}

double VirtualExecutor::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

bool VirtualExecutor::isCurrent() const {
  std::lock_guard lock(mutex_);
  return runner_ == std::this_thread::get_id();
}

void VirtualExecutor::sleepFor(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  std::lock_guard lock(mutex_);
  now_ += seconds;
}

std::size_t VirtualExecutor::advanceBy(double seconds) {
  double target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + (seconds > 0 ? seconds : 0.0);
  }
  return runThrough(target);
}

std::size_t VirtualExecutor::advanceTo(double time) {
  return runThrough(time);
}

std::size_t VirtualExecutor::runDue() {
  return runThrough(now());
}

std::size_t VirtualExecutor::settle() {
  std::size_t ran = 0;
  for (;;) {
    const auto due = nextDueTime();
    if (!due || *due > now()) return ran;
    ran += runDue();
  }
}

bool VirtualExecutor::runNext() {
  const auto due = nextDueTime();
  if (!due) return false;
  runThrough(std::max(*due, now()));
  return true;
}

bool VirtualExecutor::runUntil(const std::function<bool()>& done, double limit) {
  const double horizon = now() + limit;
  while (!done()) {
    const auto due = nextDueTime();
    if (!due || *due > horizon) return done();
    runThrough(std::max(*due, now()));
  }
  return true;
}

std::size_t VirtualExecutor::pendingCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

std::optional<double> VirtualExecutor::nextDueTime() const {
  std::lock_guard lock(mutex_);
  return tasks_.nextDue();
}

void VirtualExecutor::schedule(double due, std::shared_ptr<std::atomic<bool>> cancelled,
                               Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push(due, std::move(cancelled), std::move(task));
}

std::size_t VirtualExecutor::runThrough(double target) {
  std::unique_lock lock(mutex_);
  if (runner_ != std::thread::id()) {
    throw std::logic_error("VirtualExecutor '" + label_ + "' advanced while already advancing");
  }
  runner_ = std::this_thread::get_id();
  std::size_t ran = 0;
  try {
    while (auto entry = tasks_.popDue(target)) {
      // A task that slept may have pushed the clock past later due times;
      // the clock never runs backwards.
      now_ = std::max(now_, entry->due);
      lock.unlock();
      if (runUnlessCancelled(entry->cancelled, entry->task)) ++ran;
      entry.reset();
      lock.lock();
    }
  } catch (...) {
    if (!lock.owns_lock()) lock.lock();
    runner_ = std::thread::id();
    throw;
  }
  now_ = std::max(now_, target);
  runner_ = std::thread::id();
  return ran;
}

}  // namespace choralink

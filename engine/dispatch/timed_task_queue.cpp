#include "engine/dispatch/timed_task_queue.h"

#include <utility>

namespace choralink {

void TimedTaskQueue::push(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task) {
  heap_.push(Entry{due, nextSequence_++, std::move(cancelled), std::move(task)});
}

std::optional<double> TimedTaskQueue::nextDue() const {
  if (heap_.empty()) return std::nullopt;
  return heap_.top().due;
}

std::optional<TimedTaskQueue::Entry> TimedTaskQueue::popDue(double time) {
  if (heap_.empty() || heap_.top().due > time) return std::nullopt;
  // priority_queue::top is const; the entry is moved out just before pop.
  Entry entry = std::move(const_cast<Entry&>(heap_.top()));
  heap_.pop();
  return entry;
}

void TimedTaskQueue::clear() {
  heap_ = {};
}

}  // namespace choralink

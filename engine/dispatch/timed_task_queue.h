// The pending work of one executor: tasks ordered by due time, ties in the
// order they were queued. Not synchronised; each executor guards its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <queue>
#include <vector>

#include "engine/dispatch/executor.h"

namespace choralink {

class TimedTaskQueue {
 public:
  struct Entry {
    double due = 0;
    uint64_t sequence = 0;
    std::shared_ptr<std::atomic<bool>> cancelled;
    Task task;
  };

  void push(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task);

  // Due time of the earliest entry, if any.
  std::optional<double> nextDue() const;

  // Removes and returns the earliest entry when it is due at or before `time`.
  std::optional<Entry> popDue(double time);

  std::size_t size() const { return heap_.size(); }
  bool empty() const { return heap_.empty(); }
  void clear();

 private:
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      if (a.due != b.due) return a.due > b.due;
      return a.sequence > b.sequence;
    }
  };
  std::priority_queue<Entry, std::vector<Entry>, Later> heap_;
  uint64_t nextSequence_ = 0;
};

}  // namespace choralink

#include "app/ui/qt_executor.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <optional>

namespace choralink::ui {

QtExecutor::QtExecutor(std::string label)
    : label_(std::move(label)), owner_(std::this_thread::get_id()), context_(new QObject) {
  timer_ = new QTimer(context_.get());
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, context_.get(), [this] { runDue(); });
}

QtExecutor::~QtExecutor() {
  std::lock_guard lock(mutex_);
  queue_.clear();
}

double QtExecutor::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
}

bool QtExecutor::isCurrent() const {
  return std::this_thread::get_id() == owner_;
}

void QtExecutor::sleepFor(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::size_t QtExecutor::pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool QtExecutor::timerArmed() const {
  return timer_->isActive();
}

void QtExecutor::schedule(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task) {
  {
    std::lock_guard lock(mutex_);
    queue_.push(due, std::move(cancelled), std::move(task));
  }
  requestRearm();
}

void QtExecutor::requestRearm() {
  {
    std::lock_guard lock(mutex_);
    if (rearmRequested_) return;
    rearmRequested_ = true;
  }
  // Always through the event loop, also on the owning thread: a task posted
  // from inside a task then runs after the current one has returned.
  QMetaObject::invokeMethod(
      context_.get(), [this] { rearm(); }, Qt::QueuedConnection);
}

void QtExecutor::rearm() {
  std::optional<double> due;
  {
    std::lock_guard lock(mutex_);
    rearmRequested_ = false;
    due = queue_.nextDue();
  }
  if (!due) {
    timer_->stop();
    return;
  }
  const double wait = std::max(*due - now(), 0.0);
  timer_->start(static_cast<int>(std::ceil(wait * 1000.0)));
}

void QtExecutor::runDue() {
  // A task that spins a nested event loop (a modal dialog) must not have
  // other tasks run inside it: they wait for it to return, as on a queue.
  if (running_) return;
  running_ = true;
  for (;;) {
    std::optional<TimedTaskQueue::Entry> entry;
    {
      std::lock_guard lock(mutex_);
      entry = queue_.popDue(now());
    }
    if (!entry) break;
    runUnlessCancelled(entry->cancelled, entry->task);
  }
  running_ = false;
  rearm();
}

}  // namespace choralink::ui

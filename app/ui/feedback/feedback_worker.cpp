#include "app/ui/feedback/feedback_worker.h"

namespace choralink::ui {

FeedbackWorker::~FeedbackWorker() {
  waitIdle();
}

void FeedbackWorker::run(std::function<void()> job) {
  std::lock_guard lock(mutex_);
  threads_.emplace_back(std::move(job));
}

void FeedbackWorker::waitIdle() {
  std::vector<std::thread> running;
  {
    std::lock_guard lock(mutex_);
    running.swap(threads_);
  }
  for (std::thread& thread : running)
    thread.join();
}

}  // namespace choralink::ui

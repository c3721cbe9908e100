// Runs the feedback sheet's slow work (reading the log, building the report,
// the HTTPS request) off the user-interface thread, one thread per job.
//
// Owned by the main thread. Destruction waits for every job still running
// (a send is bounded by FeedbackClient::timeout), so nothing a job touches
// goes away under it.
#pragma once

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace choralink::ui {

class FeedbackWorker {
 public:
  FeedbackWorker() = default;
  ~FeedbackWorker();
  FeedbackWorker(const FeedbackWorker&) = delete;
  FeedbackWorker& operator=(const FeedbackWorker&) = delete;

  // Starts `job` on a thread of its own.
  void run(std::function<void()> job);
  // Waits for every job started so far.
  void waitIdle();

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

}  // namespace choralink::ui

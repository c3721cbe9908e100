#include "engine/dispatch/serial_queue.h"

#include <pthread.h>

#include <cassert>
#include <chrono>
#include <cmath>
#include <utility>

namespace choralink {

double steadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string osThreadName(std::string_view label) {
  constexpr std::string_view kOwnPrefix = "app.choralink.";
  constexpr std::size_t kLimit = 15;  // Linux: 16 bytes with the terminating zero
  std::string name;
  if (label.starts_with(kOwnPrefix)) {
    name = "cl." + std::string(label.substr(kOwnPrefix.size()));
  } else {
    name = std::string(label);
  }
  if (name.size() <= kLimit) return name;
  std::size_t cut = kLimit;
  // Back off continuation bytes so the name stays valid UTF-8.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
    --cut;
  name.resize(cut);
  return name;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] {
    // Debuggers and `top -H` show which queue a thread serves.
    pthread_setname_np(pthread_self(), osThreadName(label_).c_str());
    run();
  });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    tasks_.clear();
  }
  wake_.notify_all();
  assert(!isCurrent() && "a SerialQueue cannot be destroyed by its own task");
  if (thread_.joinable()) thread_.join();
}

double SerialQueue::now() const {
  return steadySeconds();
}

bool SerialQueue::isCurrent() const {
  return std::this_thread::get_id() == thread_.get_id();
}

void SerialQueue::sleepFor(double seconds) {
  if (!(seconds > 0)) return;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void SerialQueue::shutdown() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    tasks_.clear();
  }
  wake_.notify_all();
  if (isCurrent()) return;
  if (thread_.joinable()) thread_.join();
}

std::size_t SerialQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void SerialQueue::schedule(double due, std::shared_ptr<std::atomic<bool>> cancelled, Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    tasks_.push(due, std::move(cancelled), std::move(task));
  }
  wake_.notify_one();
}

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto nextDue = tasks_.nextDue();
    if (!nextDue) {
      wake_.wait(lock);
      continue;
    }
    const double current = now();
    if (*nextDue > current) {
      const auto wait = std::chrono::duration<double>(*nextDue - current);
      wake_.wait_for(lock, std::chrono::duration_cast<std::chrono::nanoseconds>(wait));
      continue;
    }
    auto entry = tasks_.popDue(current);
    lock.unlock();
    runUnlessCancelled(entry->cancelled, entry->task);
    // The task (and whatever it captured) dies outside the lock.
    entry.reset();
    lock.lock();
  }
}

}  // namespace choralink

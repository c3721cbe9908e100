// Engine → app delivery: a stream whose producer never blocks and whose
// buffer of undelivered elements is bounded by dropping the oldest. With a
// capacity of 1 (LatestValueStream) a slow consumer sees only the newest value
// (device lists); with 32 it sees the newest 32 (engine events).
//
// send() and finish() may be called from any thread. The one consumer
// registers with consume(), naming the executor its handler runs on (the
// app model's main executor); elements are delivered one per task, in order,
// so the consumer's executor stays responsive and the buffering policy keeps
// applying while it is busy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/dispatch/executor.h"

namespace choralink {

// Ends a consumer's registration when cancelled or destroyed. After cancel()
// returns, no further element is delivered to that consumer, except one whose
// handler is already running on the consumer's executor.
class StreamSubscription {
 public:
  StreamSubscription() = default;
  explicit StreamSubscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  StreamSubscription(StreamSubscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
  StreamSubscription& operator=(StreamSubscription&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, {});
    }
    return *this;
  }
  StreamSubscription(const StreamSubscription&) = delete;
  StreamSubscription& operator=(const StreamSubscription&) = delete;
  ~StreamSubscription() { cancel(); }

  void cancel() {
    if (auto c = std::exchange(cancel_, {})) c();
  }

 private:
  std::function<void()> cancel_;
};

template <class T>
class BoundedStream {
 public:
  // A capacity below 1 counts as 1.
  explicit BoundedStream(std::size_t capacity) : state_(std::make_shared<State>()) {
    state_->capacity = capacity < 1 ? 1 : capacity;
  }
  BoundedStream(const BoundedStream&) = delete;
  BoundedStream& operator=(const BoundedStream&) = delete;
  // Buffered elements stay deliverable to a registered consumer.
  ~BoundedStream() { finish(); }

  // Buffers `value`, dropping the oldest undelivered element when the buffer
  // is full. Ignored after finish(). Never blocks on the consumer.
  void send(T value) {
    std::unique_lock lock(state_->mutex);
    if (state_->finished) return;
    state_->buffer.push_back(std::move(value));
    while (state_->buffer.size() > state_->capacity) {
      state_->buffer.pop_front();
      ++state_->dropped;
    }
    scheduleLocked(state_);
  }

  // Ends the stream: the consumer receives what is buffered, then onFinish.
  void finish() {
    std::unique_lock lock(state_->mutex);
    if (state_->finished) return;
    state_->finished = true;
    scheduleLocked(state_);
  }

  // Registers the one consumer. Throws std::logic_error when one is already
  // registered. `executor` must outlive the subscription.
  [[nodiscard]] StreamSubscription consume(Executor& executor, std::function<void(T)> onElement,
                                           std::function<void()> onFinish = {}) {
    std::unique_lock lock(state_->mutex);
    if (state_->consumer) throw std::logic_error("BoundedStream already has a consumer");
    auto consumer = std::make_shared<Consumer>();
    consumer->executor = &executor;
    consumer->onElement = std::move(onElement);
    consumer->onFinish = std::move(onFinish);
    state_->consumer = consumer;
    scheduleLocked(state_);
    std::weak_ptr<State> weak = state_;
    return StreamSubscription([weak, consumer] {
      if (auto state = weak.lock()) {
        std::lock_guard inner(state->mutex);
        if (state->consumer == consumer) state->consumer.reset();
      }
    });
  }

  // Without a consumer: takes every buffered element, oldest first.
  std::vector<T> takeBuffered() {
    std::lock_guard lock(state_->mutex);
    std::vector<T> out(std::make_move_iterator(state_->buffer.begin()),
                       std::make_move_iterator(state_->buffer.end()));
    state_->buffer.clear();
    return out;
  }

  std::size_t capacity() const { return state_->capacity; }
  std::size_t buffered() const {
    std::lock_guard lock(state_->mutex);
    return state_->buffer.size();
  }
  // Elements dropped by the buffering policy since creation.
  std::uint64_t droppedCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->dropped;
  }

 private:
  struct Consumer {
    Executor* executor = nullptr;
    std::function<void(T)> onElement;
    std::function<void()> onFinish;
    bool deliveryQueued = false;  // guarded by State::mutex
  };
  struct State {
    mutable std::mutex mutex;
    std::deque<T> buffer;
    std::size_t capacity = 1;
    std::uint64_t dropped = 0;
    bool finished = false;
    bool finishDelivered = false;
    std::shared_ptr<Consumer> consumer;
  };

  // Queues one delivery task on the consumer's executor unless one is queued
  // already or there is nothing to deliver. Called with the mutex held.
  static void scheduleLocked(const std::shared_ptr<State>& state) {
    const std::shared_ptr<Consumer>& consumer = state->consumer;
    if (!consumer || consumer->deliveryQueued) return;
    const bool work = !state->buffer.empty() || (state->finished && !state->finishDelivered);
    if (!work) return;
    consumer->deliveryQueued = true;
    consumer->executor->post([state, consumer] { deliverOne(state, consumer); });
  }

  // A task queued for a consumer that has since been replaced does nothing.
  static void deliverOne(const std::shared_ptr<State>& state,
                         const std::shared_ptr<Consumer>& consumer) {
    std::unique_lock lock(state->mutex);
    consumer->deliveryQueued = false;
    if (state->consumer != consumer) return;
    if (!state->buffer.empty()) {
      T value = std::move(state->buffer.front());
      state->buffer.pop_front();
      scheduleLocked(state);  // the rest, one task each
      lock.unlock();
      if (consumer->onElement) consumer->onElement(std::move(value));
      return;
    }
    if (state->finished && !state->finishDelivered) {
      state->finishDelivered = true;
      lock.unlock();
      if (consumer->onFinish) consumer->onFinish();
    }
  }

  std::shared_ptr<State> state_;
};

// The newest undelivered value only: what a device-list stream needs.
template <class T>
class LatestValueStream : public BoundedStream<T> {
 public:
  LatestValueStream() : BoundedStream<T>(1) {}
};

}  // namespace choralink

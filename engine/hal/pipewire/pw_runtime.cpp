#include "engine/hal/pipewire/pw_runtime.h"

#include <pipewire/impl-module.h>
#include <pipewire/pipewire.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

namespace choralink::pipewire {

namespace {

// pw_init is process-wide and cheap to keep: never undone, so that several
// connections (tests make many) never race on the library's global state.
void initLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// How often a waiting thread re-checks its condition without a signal.
constexpr int64_t kPollNanoseconds = 2'000'000;

int64_t toNanoseconds(double seconds) {
  return static_cast<int64_t>(std::max(0.0, seconds) * 1e9);
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

std::string describe(const std::string& what, int code) {
  std::string text = what;
  if (code < 0) {
    text += ": ";
    text += std::strerror(-code);
  }
  return text;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer sees our data thread write into port buffers that the loop
// thread mapped, but not the hand-over in between: libpipewire passes it
// through its own uninstrumented loop machinery. Only reports whose other
// side is that mapping are dropped.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pw_memblock_map\n";
}
#endif

PwError::PwError(std::string what, int code)
    : std::runtime_error(describe(what, code)), code_(code) {}

struct PwThreadLoop::Connection {
  PwThreadLoop* owner = nullptr;
  pw_core* core = nullptr;
  spa_hook listener{};
};

PwThreadLoop::PwThreadLoop(const Options& options)
    : remoteName_(options.remoteName), clientName_(options.clientName) {
  initLibraryOnce();
  loop_ = pw_thread_loop_new("choralink-pw", nullptr);
  if (loop_ == nullptr) throw PwError("pw_thread_loop_new", -errno);
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (context_ == nullptr) {
    const int err = -errno;
    pw_thread_loop_destroy(loop_);
    throw PwError("pw_context_new", err);
  }
  // The profiler's protocol extension, so that its reports reach us (the
  // graph model listens to them for xruns). A daemon without a profiler
  // simply has no such object; a missing module only costs that.
  pw_context_load_module(context_, "libpipewire-module-profiler", nullptr, nullptr);
  if (pw_thread_loop_start(loop_) < 0) {
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
    throw PwError("pw_thread_loop_start", -1);
  }
  int err = 0;
  {
    PwLock lock(*this);
    err = connect();
  }
  if (err != 0) {
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
    throw PwError("pw_context_connect", err);
  }
}

int PwThreadLoop::connect() {
  static const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &PwThreadLoop::onCoreDone;
    events.error = &PwThreadLoop::onCoreError;
    return events;
  }();
  pw_properties* props = pw_properties_new(PW_KEY_APP_NAME, clientName_.c_str(), nullptr);
  if (!remoteName_.empty()) pw_properties_set(props, PW_KEY_REMOTE_NAME, remoteName_.c_str());
  errno = 0;
  pw_core* core = pw_context_connect(context_, props, 0);
  if (core == nullptr) return errno != 0 ? -errno : -ECONNREFUSED;
  auto connection = std::make_unique<Connection>();
  connection->owner = this;
  connection->core = core;
  pw_core_add_listener(core, &connection->listener, &kCoreEvents, connection.get());
  // The lost connection stays open, dead, until its owners have let go.
  if (current_) retired_.push_back(std::move(current_));
  current_ = std::move(connection);
  core_ = core;
  connected_ = true;
  // A new connection numbers its syncs from the start again.
  lastDoneSeq_ = -1;
  lastError_.clear();
  return 0;
}

void PwThreadLoop::close(Connection& connection) {
  spa_hook_remove(&connection.listener);
  pw_core_disconnect(connection.core);
  connection.core = nullptr;
}

bool PwThreadLoop::reconnect() {
  if (connected_) return true;
  return connect() == 0;
}

void PwThreadLoop::abandon(const std::string& reason) {
  markLost(reason);
}

void PwThreadLoop::releaseRetired() {
  for (auto& connection : retired_)
    close(*connection);
  retired_.clear();
}

PwThreadLoop::~PwThreadLoop() {
  {
    PwLock lock(*this);
    lostHandlers_.clear();
    if (current_) close(*current_);
    current_.reset();
    releaseRetired();
    core_ = nullptr;
  }
  pw_thread_loop_stop(loop_);
  pw_context_destroy(context_);
  pw_thread_loop_destroy(loop_);
}

void PwThreadLoop::lock() const {
  pw_thread_loop_lock(loop_);
}
void PwThreadLoop::unlock() const {
  pw_thread_loop_unlock(loop_);
}
bool PwThreadLoop::inLoopThread() const {
  return pw_thread_loop_in_thread(loop_);
}
void PwThreadLoop::signal() const {
  pw_thread_loop_signal(loop_, false);
}

bool PwThreadLoop::waitUntil(const std::function<bool()>& done, double timeoutSeconds) const {
  if (done()) return true;
  // Waiting on the loop thread would wait for ourselves: a programming error,
  // caught in debug builds, refused rather than hung in release builds.
  assert(!inLoopThread() && "waitUntil on the PipeWire loop thread");
  if (inLoopThread()) return false;
  // The loop thread signals every change it records, but some conditions
  // follow the real-time thread (frames recorded, cycles run), which must not
  // signal: re-check at a short poll interval as well.
  timespec deadline{};
  pw_thread_loop_get_time(loop_, &deadline, toNanoseconds(timeoutSeconds));
  while (!done()) {
    timespec wake{};
    pw_thread_loop_get_time(loop_, &wake, kPollNanoseconds);
    const bool last = before(deadline, wake);
    pw_thread_loop_timed_wait_full(loop_, last ? &deadline : &wake);
    if (last && !done()) {
      timespec now{};
      pw_thread_loop_get_time(loop_, &now, 0);
      if (!before(now, deadline)) return done();
    }
  }
  return true;
}

bool PwThreadLoop::roundtrip(double timeoutSeconds) {
  if (!connected_) return false;
  const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
  if (seq < 0) return false;
  return waitUntil([&] { return !connected_ || lastDoneSeq_ >= seq; }, timeoutSeconds) &&
         connected_;
}

int PwThreadLoop::onConnectionLost(LostHandler handler) {
  const int token = nextToken_++;
  lostHandlers_.emplace_back(token, std::move(handler));
  return token;
}

void PwThreadLoop::removeLostHandler(int token) {
  std::erase_if(lostHandlers_, [token](const auto& entry) { return entry.first == token; });
}

void PwThreadLoop::onCoreDone(void* data, uint32_t id, int seq) {
  auto* connection = static_cast<Connection*>(data);
  PwThreadLoop* self = connection->owner;
  if (id != PW_ID_CORE || connection != self->current_.get()) return;
  self->lastDoneSeq_ = std::max(self->lastDoneSeq_, seq);
  self->signal();
}

void PwThreadLoop::onCoreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
  auto* connection = static_cast<Connection*>(data);
  PwThreadLoop* self = connection->owner;
  if (connection != self->current_.get()) return;
  self->lastError_ = message != nullptr ? message : "";
  // Errors about single objects reach their proxies; only the core's own
  // "connection gone" ends this connection.
  if (id == PW_ID_CORE && res == -EPIPE) self->markLost(self->lastError_);
  self->signal();
}

void PwThreadLoop::markLost(const std::string& reason) {
  if (!connected_) return;
  connected_ = false;
  // Copy: a handler may remove itself.
  const auto handlers = lostHandlers_;
  for (const auto& [token, handler] : handlers)
    handler(reason.empty() ? "PipeWire daemon disconnected" : reason);
}

}  // namespace choralink::pipewire

// A connection to a PipeWire daemon: the thread loop that runs every
// PipeWire callback of this connection, the context and the core proxy. After
// a loss the owner may connect again (reconnect): the loop, the context and
// the lock stay; the core is a new one.
//
// Threads. Everything PipeWire calls back (registry, node, metadata, filter
// state, core errors) runs on the loop's own thread with the loop lock held.
// Every pw_* call made from any other thread must hold that lock (PwLock); the
// lock is recursive, so helpers may take it again inside a callback. The one
// exception is the real-time process callback of a filter, which runs on the
// context's data thread and never takes the lock.
//
// Waiting. A thread that waits for the daemon (a roundtrip, a node to appear)
// holds the lock exactly once and waits on the loop's condition, which the loop
// thread signals after every change it records. Never wait from the loop thread
// itself: nothing could then deliver what is waited for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

struct pw_context;
struct pw_core;
struct pw_thread_loop;
struct spa_hook;

namespace choralink::pipewire {

// A failure of a PipeWire call: `code` is the negative errno-style result that
// PipeWire reported (or -1 when it gave none), `what` names the operation.
class PwError : public std::runtime_error {
 public:
  PwError(std::string what, int code);
  int code() const { return code_; }

 private:
  int code_;
};

class PwThreadLoop {
 public:
  struct Options {
    // The daemon to connect to; empty means the one PIPEWIRE_REMOTE or the
    // default socket names, exactly as every PipeWire client resolves it.
    std::string remoteName;
    std::string clientName = "Choralink";
  };

  // Starts the loop thread and connects. Throws PwError when no daemon
  // answers on the socket.
  explicit PwThreadLoop(const Options& options);
  PwThreadLoop() : PwThreadLoop(Options{}) {}
  // Disconnects and stops the thread. Every proxy, filter and listener made on
  // this connection must be gone by then (their owners come first).
  ~PwThreadLoop();
  PwThreadLoop(const PwThreadLoop&) = delete;
  PwThreadLoop& operator=(const PwThreadLoop&) = delete;

  pw_thread_loop* threadLoop() const { return loop_; }
  pw_context* context() const { return context_; }
  pw_core* core() const { return core_; }

  void lock() const;
  void unlock() const;
  bool inLoopThread() const;

  // Wakes every thread waiting in waitUntil(). Loop thread (or lock held).
  void signal() const;

  // Lock held once, not on the loop thread: waits until `done()` is true,
  // re-checking after every signal, for at most `timeoutSeconds`. Returns the
  // last value of `done()`.
  bool waitUntil(const std::function<bool()>& done, double timeoutSeconds) const;

  // Lock held once, not on the loop thread: a core sync. When it returns true
  // every event caused by calls made before it has been delivered. False on
  // timeout or when the connection is gone.
  bool roundtrip(double timeoutSeconds);

  // Whether the daemon is still connected (false after it went away or
  // reported a fatal core error). Lock held.
  bool connected() const { return connected_; }

  // Lock held, after the connection was lost: connects anew to the same
  // remote. True when a daemon answered; core() is then the new connection.
  // The lost connection stays open (dead) so that proxies and filters made on
  // it can still be destroyed; releaseRetired() closes it.
  bool reconnect();
  // Lock held: gives up a live connection that is of no use (a daemon that
  // answered but never settled), as if the daemon had gone.
  void abandon(const std::string& reason);
  // Lock held: closes every connection reconnect() replaced. Nothing made on
  // them may be left.
  void releaseRetired();
  size_t retiredCount() const { return retired_.size(); }
  // The last core error's message, empty when none. Lock held.
  const std::string& lastError() const { return lastError_; }

  // Handlers called on the loop thread when the connection is lost. The
  // returned token removes the handler. Lock held.
  using LostHandler = std::function<void(const std::string& reason)>;
  int onConnectionLost(LostHandler handler);
  void removeLostHandler(int token);

 private:
  // One core and our listener on it; callbacks carry it, so that a retired
  // connection's late events never touch the live one's state.
  struct Connection;

  static void onCoreDone(void* data, uint32_t id, int seq);
  static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
  void markLost(const std::string& reason);
  // Lock held: connects, retiring the lost connection on success; 0 or an
  // errno-style failure (the lost connection then stays core()).
  int connect();
  static void close(Connection& connection);

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  std::string remoteName_;
  std::string clientName_;
  std::unique_ptr<Connection> current_;
  std::vector<std::unique_ptr<Connection>> retired_;
  bool connected_ = false;
  int lastDoneSeq_ = -1;
  std::string lastError_;
  int nextToken_ = 1;
  std::vector<std::pair<int, LostHandler>> lostHandlers_;
};

// Holds the loop lock for a scope.
class PwLock {
 public:
  explicit PwLock(const PwThreadLoop& loop) : loop_(loop) { loop_.lock(); }
  ~PwLock() { loop_.unlock(); }
  PwLock(const PwLock&) = delete;
  PwLock& operator=(const PwLock&) = delete;

 private:
  const PwThreadLoop& loop_;
};

}  // namespace choralink::pipewire

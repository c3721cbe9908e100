// PwLink: one link between an output port and an input port that our own
// code created through the daemon's link factory (no session manager links
// anything for us). It owns the link: destroying the PwLink removes the link
// from the graph, and a crash of this process removes it too, because the link
// is not made to outlive its creator ("object.linger" false).
//
// Threads. Construction and destruction take the loop lock; state() and the
// other getters may be called from any thread. The state follows the link's
// info events on the loop thread, which signals the loop after each change.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_runtime.h"

struct pw_proxy;
struct spa_hook;

namespace choralink::pipewire {

// pw_link_state, plus `gone` for a link the daemon removed.
enum class PwLinkState { error, unlinked, init, negotiating, allocating, paused, active, gone };

class PwLink {
 public:
  PwLink(PwThreadLoop& loop, uint32_t outputNode, uint32_t outputPort, uint32_t inputNode,
         uint32_t inputPort);
  ~PwLink();
  PwLink(const PwLink&) = delete;
  PwLink& operator=(const PwLink&) = delete;

  uint32_t outputNode() const { return outputNode_; }
  uint32_t outputPort() const { return outputPort_; }
  uint32_t inputNode() const { return inputNode_; }
  uint32_t inputPort() const { return inputPort_; }

  PwLinkState state() const { return state_.load(std::memory_order_acquire); }
  // Data flows over the link (the graph runs both ends).
  bool active() const { return state() == PwLinkState::active; }
  // The link can no longer become active (refused, failed or removed).
  bool failed() const {
    const PwLinkState s = state();
    return s == PwLinkState::error || s == PwLinkState::gone;
  }
  // The link's global id once the daemon announced it, else 0.
  uint32_t globalId() const { return globalId_.load(std::memory_order_acquire); }
  // The daemon's reason for an error state; lock held.
  const std::string& error() const { return error_; }

  // Called on the loop thread (lock held) after every state change. Set it
  // with the lock held, right after construction.
  void setStateHandler(std::function<void()> handler) { stateHandler_ = std::move(handler); }

 private:
  struct Callbacks;
  friend struct Callbacks;
  void changed();

  PwThreadLoop& loop_;
  uint32_t outputNode_;
  uint32_t outputPort_;
  uint32_t inputNode_;
  uint32_t inputPort_;
  pw_proxy* proxy_ = nullptr;
  spa_hook* linkListener_ = nullptr;
  spa_hook* proxyListener_ = nullptr;
  std::atomic<PwLinkState> state_{PwLinkState::init};
  std::atomic<uint32_t> globalId_{0};
  std::string error_;
  std::function<void()> stateHandler_;
};

using PwLinks = std::vector<std::unique_ptr<PwLink>>;

// Creates one link per pair (output port → input port).
PwLinks linkPairs(PwThreadLoop& loop, const std::vector<PortPair>& pairs);
// Whether every link is active; an empty set counts as active.
bool allActive(const PwLinks& links);
bool anyFailed(const PwLinks& links);
// Not on the loop thread: waits until every link is active or one failed.
// True when all are active.
bool waitActive(PwThreadLoop& loop, const PwLinks& links, double timeoutSeconds);

}  // namespace choralink::pipewire

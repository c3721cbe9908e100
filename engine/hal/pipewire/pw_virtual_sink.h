// PwVirtualSink: a private virtual output of ours — a null sink created in the
// daemon through its adapter factory, with monitor ports, so that what
// applications play into it can be captured. The broadcast's muted tap makes
// it the default output; nothing of it reaches any speaker directly.
//
// The node belongs to this client and does not linger: destroying the
// PwVirtualSink removes it, and so does this process ending for any reason.
// (Restoring the default output after a crash is the owner's job; the node
// itself cannot outlive us.)
//
// Threads: construction and destruction take the loop lock; the getters are
// atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/hal/pipewire/pw_runtime.h"

struct pw_proxy;
struct spa_hook;

namespace choralink::pipewire {

// The property that marks nodes this program created, so that enumeration
// can leave them out and leftovers can be recognised.
inline constexpr const char* kOwnedNodeProperty = "choralink.owned";

class PwVirtualSink {
 public:
  struct Spec {
    std::string name = "Choralink";         // node.name, unique in the graph
    std::string description = "Choralink";  // node.description
    std::vector<std::string> positions{"FL", "FR"};
    uint32_t rate = 0;  // 0: the graph's rate
    // Marked as ours (kOwnedNodeProperty), so that device lists leave it out.
    // Tests clear it to stand in for a device being plugged in.
    bool markOwned = true;
    // node.virtual; tests clear it (and name a bus below) for a sink that
    // reads as hardware.
    bool isVirtual = true;
    std::map<std::string, std::string> extraProps;
  };

  PwVirtualSink(PwThreadLoop& loop, Spec spec);
  ~PwVirtualSink();
  PwVirtualSink(const PwVirtualSink&) = delete;
  PwVirtualSink& operator=(const PwVirtualSink&) = delete;

  const Spec& spec() const { return spec_; }
  // The node's global id once the daemon announced it, else 0.
  uint32_t nodeId() const { return nodeId_.load(std::memory_order_acquire); }
  // The daemon refused or removed the node.
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  // Not on the loop thread: waits until nodeId() or failed(). True when the
  // node exists.
  bool waitForNode(double timeoutSeconds) const;

 private:
  struct Callbacks;
  friend struct Callbacks;

  PwThreadLoop& loop_;
  Spec spec_;
  pw_proxy* proxy_ = nullptr;
  spa_hook* listener_ = nullptr;
  std::atomic<uint32_t> nodeId_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace choralink::pipewire

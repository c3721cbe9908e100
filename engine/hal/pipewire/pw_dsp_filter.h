// PwDspFilter: one pw_filter node of ours with mono 32-bit float ("DSP")
// ports, the building block of the aggregate device, the recorder and the
// player. It owns the filter, its ports and its listener; it never links
// itself (no session manager is assumed): the owner links its ports.
//
// Threads. Construction and destruction take the loop lock. The process
// callback runs on PipeWire's real-time data thread: it gathers the port
// buffers into preallocated pointer arrays (an unlinked input reads silence,
// an unlinked output writes into a scratch buffer) and calls the owner's
// ProcessFn, which must not block, lock or allocate. After the destructor
// returns the ProcessFn is never called again.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/hal/pipewire/pw_runtime.h"

struct pw_filter;
struct spa_hook;

namespace choralink::pipewire {

struct PwDspPort {
  std::string name;     // port.name, unique within the node
  std::string channel;  // audio.channel ("FL"); empty for none
};

enum class PwFilterState { error, unconnected, connecting, paused, streaming };

class PwDspFilter {
 public:
  // frames ≤ kMaxFrames; inputs/outputs hold one pointer per port, in the
  // order the ports were given, each valid for `frames` samples.
  using ProcessFn = void (*)(void* user, uint32_t frames, const float* const* inputs,
                             float* const* outputs);
  static constexpr uint32_t kMaxFrames = 8192;  // PipeWire's default quantum limit

  struct Spec {
    std::string nodeName;
    std::string description;
    std::vector<PwDspPort> inputs;
    std::vector<PwDspPort> outputs;
    std::map<std::string, std::string> extraProps;  // more node properties
  };

  PwDspFilter(PwThreadLoop& loop, Spec spec, ProcessFn process, void* user);
  ~PwDspFilter();
  PwDspFilter(const PwDspFilter&) = delete;
  PwDspFilter& operator=(const PwDspFilter&) = delete;

  const Spec& spec() const { return spec_; }
  // The node's global id once the daemon announced it, else 0. Lock held
  // or any thread (atomic).
  uint32_t nodeId() const { return nodeId_.load(std::memory_order_acquire); }
  PwFilterState state() const { return state_.load(std::memory_order_acquire); }
  // Process cycles run so far, and the last cycle's frame count. Any thread.
  uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
  uint32_t lastFrames() const { return lastFrames_.load(std::memory_order_relaxed); }
  // Cycles whose quantum exceeded kMaxFrames (only the first kMaxFrames were
  // processed). Any thread.
  uint64_t oversizedCycles() const { return oversized_.load(std::memory_order_relaxed); }

  // Not on the loop thread: waits until the node id is known (and the filter
  // is not in error). False on timeout.
  bool waitForNode(double timeoutSeconds) const;

 private:
  struct Callbacks;
  friend struct Callbacks;

  PwThreadLoop& loop_;
  Spec spec_;
  ProcessFn process_;
  void* user_;
  pw_filter* filter_ = nullptr;
  spa_hook* listener_ = nullptr;
  std::vector<void*> inputPorts_;
  std::vector<void*> outputPorts_;
  // Real-time side: pointer arrays and buffers sized at construction.
  std::vector<const float*> inputData_;
  std::vector<float*> outputData_;
  std::vector<float> silence_;
  std::vector<float> scratch_;
  std::atomic<uint32_t> nodeId_{0};
  std::atomic<PwFilterState> state_{PwFilterState::unconnected};
  std::atomic<uint64_t> cycles_{0};
  std::atomic<uint32_t> lastFrames_{0};
  std::atomic<uint64_t> oversized_{0};
  // Handshake with the data thread so that the destructor can prove no
  // ProcessFn call is under way or can still begin.
  std::atomic<bool> closing_{false};
  std::atomic<bool> inProcess_{false};
};

}  // namespace choralink::pipewire

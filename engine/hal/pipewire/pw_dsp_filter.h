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

// One graph cycle as the process callback sees it.
struct PwCycle {
  uint32_t frames = 0;    // samples per port this cycle (≤ PwDspFilter::kMaxFrames)
  uint64_t position = 0;  // the driver's clock position, in frames of `rate`
  uint64_t nsec = 0;      // the cycle's time on the monotonic clock
  uint32_t rate = 0;      // the graph rate in Hz (0 when the driver gave none)
  uint32_t driverId = 0;  // the global id of the node that drives the graph
  // The same driver's clock did not continue where the previous cycle ended:
  // cycles were missed (an overrun of the graph). A change of driver starts a
  // new timeline and does not count.
  bool discontinuity = false;
  // Of that, the frames the same driver's clock moved past the previous
  // cycle's end: the cycles this node was not called for.
  uint64_t missedFrames = 0;
};

class PwDspFilter {
 public:
  // inputs/outputs hold one pointer per port, in the order the ports were
  // given, each valid for `cycle.frames` samples.
  using ProcessFn = void (*)(void* user, const PwCycle& cycle, const float* const* inputs,
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
  // The driver of the last cycle (see PwCycle); 0 before the first. Any thread.
  uint32_t lastDriverId() const { return lastDriver_.load(std::memory_order_relaxed); }
  // Cycles that followed a gap in the clock (see PwCycle). Any thread.
  uint64_t discontinuities() const { return discontinuities_.load(std::memory_order_relaxed); }

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
  std::atomic<uint64_t> discontinuities_{0};
  std::atomic<uint32_t> lastDriver_{0};
  uint64_t expectedPosition_ = 0;  // data thread only
  bool havePosition_ = false;      // data thread only
  // Handshake with the data thread so that the destructor can prove no
  // ProcessFn call is under way or can still begin.
  std::atomic<bool> closing_{false};
  std::atomic<bool> inProcess_{false};
};

}  // namespace choralink::pipewire

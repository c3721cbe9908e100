// PwInputStream: the IO procedure of an input device (a source node) realised
// as a capture node of ours: one pw_filter with a mono input port per channel
// of the source, linked by our own links from the source's capture ports
// (its output ports that are not monitors). Every graph cycle the process
// callback presents the port buffers as the platform's buffer lists — one
// mono buffer per channel in the source's channel order, the output list
// empty — and calls the IO procedure with them, with the cycle's clock as
// the timestamp record (as the aggregate does). Cycles our node missed (the
// driver's clock jumped past them) reach the procedure as silence, so the
// frames it counts stay on the graph's clock and a sound captured after a
// missed cycle is not taken for an earlier one.
//
// PwInputCaptures keeps the input streams of one system, at most one per
// input device, and follows the graph: a link that failed is made anew while
// the source is there; when the source leaves the graph the procedure is no
// longer called, so its caller sees the captured frames stop.
//
// Threads. PwInputCaptures runs with the loop lock held (the system's
// operations take it once; update() runs in graph callbacks); create() and
// setRunning(true) wait for the daemon and so must not run on the loop
// thread. The IO procedure runs on PipeWire's data thread; stopping from
// inside it (stopFromProcedure) takes effect after that cycle.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/hal/audio_records.h"
#include "engine/hal/hal_codes.h"
#include "engine/hal/pipewire/pw_dsp_filter.h"
#include "engine/hal/pipewire/pw_graph.h"
#include "engine/hal/pipewire/pw_link.h"
#include "render/cl_render.h"

namespace choralink::pipewire {

class PwInputStream {
 public:
  struct Spec {
    std::string nodeName = "choralink.input";
    std::string description = "Choralink input";
    std::vector<std::string> channels;  // the source's positions, in its order
    std::map<std::string, std::string> extraProps;
  };

  PwInputStream(PwThreadLoop& loop, Spec spec, cl_ioproc_fn proc, void* clientData,
                uint32_t device);
  ~PwInputStream();
  PwInputStream(const PwInputStream&) = delete;
  PwInputStream& operator=(const PwInputStream&) = delete;

  PwDspFilter& filter() { return *filter_; }
  uint32_t device() const { return device_; }
  void start() { running_.store(true); }
  // Ends the procedure's calls; returns when none is under way and none will
  // start. From inside the procedure it takes effect after that cycle.
  void stop();
  bool running() const { return running_.load(); }
  // The input stream whose procedure the calling thread is running, if any.
  static PwInputStream* runningOnThisThread();
  // Procedure calls so far. Any thread.
  uint64_t ioCycles() const { return ioCycles_.load(std::memory_order_relaxed); }

 private:
  static void process(void* user, const PwCycle& cycle, const float* const* inputs,
                      float* const* outputs);
  void call(uint64_t position, uint64_t nsec, uint32_t frames, const float* const* inputs);

  // At most this much of a gap is filled with silence (a longer one is a
  // stall, and its caller sees the frames stop instead).
  static constexpr uint64_t kMaxGapFrames = 4 * PwDspFilter::kMaxFrames;

  Spec spec_;
  cl_ioproc_fn proc_;
  void* clientData_;
  uint32_t device_;
  std::unique_ptr<std::byte[]> inputStorage_;
  std::unique_ptr<std::byte[]> outputStorage_;
  cl_audio_buffer_list* inputList_ = nullptr;
  cl_audio_buffer_list* outputList_ = nullptr;
  std::atomic<bool> running_{false};
  std::atomic<bool> inProc_{false};
  std::atomic<uint64_t> ioCycles_{0};
  AudioTimeStamp stamp_;                 // data thread only
  std::vector<float> silence_;           // kMaxFrames zeros
  std::vector<const float*> silent_;     // one pointer to silence_ per channel
  bool wasRunning_ = false;              // data thread only: called last cycle
  std::unique_ptr<PwDspFilter> filter_;  // last: destroyed first, before the lists
};

class PwInputCaptures {
 public:
  PwInputCaptures(PwThreadLoop& loop, PwGraph& graph, double timeoutSeconds);
  ~PwInputCaptures();

  // Registers procedure `id` on input device `device`, the source node named
  // `sourceName` with these channel positions: our node is in the graph and
  // linked when this returns. 'nope' for a second procedure on one device,
  // 'what' when the node or its links could not be made.
  HALStatus create(uint32_t device, const std::string& sourceName,
                   const std::vector<std::string>& positions, cl_ioproc_fn proc, void* clientData,
                   IOProcID id);
  bool has(uint32_t device) const { return captures_.count(device) != 0; }
  // Ends and removes the procedure with its node and links; '!obj' for an
  // unknown pair. Works after the device left too.
  HALStatus destroy(uint32_t device, IOProcID id);
  // Starting waits (bounded) until the links carry data, so that the first
  // call brings what the source captures now; 'what' when they do not.
  HALStatus setRunning(uint32_t device, IOProcID id, bool run);
  // From inside a procedure (data thread): stops it after this cycle. False
  // when the calling thread runs no procedure of this device and id.
  bool stopFromProcedure(uint32_t device, IOProcID id);
  // Graph changed: drops failed links, links anew where the source is, ends
  // the calls of procedures whose source has gone.
  void update();
  void clear() { captures_.clear(); }

 private:
  struct Capture {
    IOProcID id = kNoIOProc;
    std::string sourceName;
    bool sourceGone = false;
    std::unique_ptr<PwInputStream> stream;
    PwLinks links;  // after the stream: removed before our node
  };
  bool link(Capture& capture);

  PwThreadLoop& loop_;
  PwGraph& graph_;
  double timeout_;
  std::map<uint32_t, std::unique_ptr<Capture>> captures_;  // by device
};

}  // namespace choralink::pipewire

// PwAggregate: the aggregate device realised as one pw_filter node of ours.
// Its input ports carry the captured system mix (the tap); its output ports,
// one group per sub-device with one port per channel, are linked by the owner
// to each chosen sink's playback ports. Every graph cycle the process
// callback presents the port buffers as the platform's buffer lists — one
// mono buffer per port, inputs in capture order, outputs in sub-device order —
// and calls the registered IO procedure with them.
//
// So the aggregate's stream shape is: input streams = one 1-channel stream
// per capture channel; output streams = for each presented sub-device, one
// 1-channel stream per channel. Sub-devices have no input streams here, so the
// tap's streams come first in the input list.
//
// Presentation. The owner decides which sub-devices the IO procedure sees
// (those that joined: their links are active) and which input streams it
// receives; the others' ports carry silence and take no place in the lists,
// so buffer indices always match the presented shape.
//
// Timestamps. The procedure gets the cycle's clock as the platform's
// timestamp record: host time = the cycle's monotonic nanoseconds; sample
// time = the aggregate's own timeline, which advances by each cycle's frames
// plus the frames of cycles this node missed (the driver's position moved on
// further than the previous cycle's length), and carries straight on when
// another driver (another clock) takes over. So a gap in the sample time
// means exactly "cycles were missed", as on the platform, and the render core
// keeps every sub-device on the clock across it. The same record serves as
// input and output time (the graph gives no separate presentation time).
//
// Threads. Construction, destruction, setIoProc, present, start and stop are
// for ordinary threads (never the data thread, except stop(), see there); the
// IO procedure runs on PipeWire's real-time data thread. Until start() (and
// after stop()) the outputs carry silence.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/hal/audio_records.h"
#include "engine/hal/pipewire/pw_dsp_filter.h"
#include "render/cl_render.h"

namespace choralink::pipewire {

struct PwAggregateSpec {
  std::string nodeName = "choralink.aggregate";
  std::string description = "Choralink";
  // Capture channels (positions, "FL", "FR"); one input port each.
  std::vector<std::string> captureChannels{"FL", "FR"};
  struct SubDevice {
    std::string key;                    // the sub-device's UID, for the owner
    std::vector<std::string> channels;  // its channel positions, in device order
  };
  std::vector<SubDevice> subDevices;
  std::map<std::string, std::string> extraProps;
};

class PwAggregate {
 public:
  PwAggregate(PwThreadLoop& loop, PwAggregateSpec spec);
  ~PwAggregate();
  PwAggregate(const PwAggregate&) = delete;
  PwAggregate& operator=(const PwAggregate&) = delete;

  const PwAggregateSpec& spec() const { return spec_; }
  PwDspFilter& filter() { return *filter_; }
  const PwDspFilter& filter() const { return *filter_; }

  // Port names: "capture_<position>" and "out<sub-device index>_<position>".
  static std::string capturePortName(const std::string& channel);
  static std::string outputPortName(size_t subDevice, const std::string& channel);

  // Chooses the presented sub-devices and the enabled input streams (one
  // flag each; missing flags count as false). Returns once the data thread
  // uses the new choice. Initially every sub-device and input is presented.
  void present(std::vector<bool> subDevices, std::vector<bool> inputs);
  const std::vector<bool>& presentedSubDevices() const { return presentedSubDevices_; }
  const std::vector<bool>& enabledInputs() const { return enabledInputs_; }

  // Channel counts of the input streams (every capture channel) and of the
  // presented output streams (all 1, see above).
  std::vector<uint32_t> inputStreams() const;
  std::vector<uint32_t> outputStreams() const;
  // Index of a presented sub-device's first output stream.
  size_t firstOutputStream(size_t subDevice) const;

  // Registers the IO procedure; `device` is passed through as its first
  // argument. Only while stopped: returns false while running.
  bool setIoProc(cl_ioproc_fn proc, void* clientData, uint32_t device);
  void clearIoProc();
  bool hasIoProc() const { return proc_ != nullptr; }
  uint32_t ioDevice() const { return device_; }
  // The aggregate whose IO procedure the calling thread is running, if any.
  static PwAggregate* runningOnThisThread();
  void start();
  // Ends the IO procedure's cycles. Returns when no call is under way and
  // none will start. Called from inside the IO procedure, it takes effect
  // after that cycle.
  void stop();
  bool running() const { return running_.load(); }
  // IO procedure calls made so far, and the frames they were given. Any thread.
  uint64_t ioCycles() const { return ioCycles_.load(std::memory_order_relaxed); }
  uint64_t ioFrames() const { return ioFrames_.load(std::memory_order_relaxed); }

 private:
  static void process(void* user, const PwCycle& cycle, const float* const* inputs,
                      float* const* outputs);

  // Which ports the lists carry: two copies, the data thread reads the one
  // `current_` names, the other is rewritten only after a handover.
  struct Presentation {
    std::vector<uint32_t> outputs;      // output port indices, in list order
    std::vector<uint8_t> presented;     // per output port: carried in the list
    std::vector<uint8_t> inputEnabled;  // per input port
    uint32_t outputCount = 0;
  };

  // Takes its choice by value: callers may pass presentedSubDevices() itself.
  void fill(Presentation& p, std::vector<bool> subDevices, std::vector<bool> inputs);
  void waitForCycleEnd() const;

  PwAggregateSpec spec_;
  Presentation presentations_[2];
  std::atomic<int> current_{0};
  std::vector<bool> presentedSubDevices_;
  std::vector<bool> enabledInputs_;
  // Buffer lists with room for every port, built once; the process callback
  // only rewrites their sizes and data pointers.
  std::unique_ptr<std::byte[]> inputStorage_;
  std::unique_ptr<std::byte[]> outputStorage_;
  cl_audio_buffer_list* inputList_ = nullptr;
  cl_audio_buffer_list* outputList_ = nullptr;
  size_t outputCount_ = 0;
  cl_ioproc_fn proc_ = nullptr;
  void* clientData_ = nullptr;
  uint32_t device_ = 0;
  std::atomic<bool> running_{false};
  std::atomic<bool> inProc_{false};
  std::atomic<uint64_t> ioCycles_{0};
  std::atomic<uint64_t> ioFrames_{0};
  AudioTimeStamp stamp_;                 // data thread only
  uint64_t timeline_ = 0;                // data thread only: next cycle's sample time
  std::unique_ptr<PwDspFilter> filter_;  // last: destroyed first, before the lists
};

}  // namespace choralink::pipewire

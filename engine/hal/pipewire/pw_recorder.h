// PwRecorder: a capture node of ours that records what arrives on its input
// ports into memory reserved up front — the way a test or the check tool
// listens to a sink's monitor ports, sample for sample. Recording starts at
// the first cycle after arm() and ends when the reserved frames are full.
//
// Threads. The process callback (data thread) copies and publishes the new
// frame count with release order; frames() and the copies taken by channel()
// may be read from any thread, and every frame below frames() is final.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "engine/hal/pipewire/pw_dsp_filter.h"

namespace choralink::pipewire {

class PwRecorder {
 public:
  PwRecorder(PwThreadLoop& loop, std::string nodeName, std::vector<PwDspPort> inputs,
             size_t capacityFrames);
  ~PwRecorder();

  PwDspFilter& filter() { return *filter_; }
  // Starts a new recording at the next cycle. Any thread.
  void arm();
  size_t frames() const { return frames_.load(std::memory_order_acquire); }
  size_t capacity() const { return capacity_; }
  bool full() const { return frames() >= capacity_; }
  // The recorded frames of one input, in port order.
  std::vector<float> channel(size_t index) const;
  // The node that drove the cycle in which `frame` was recorded, and that
  // cycle's length; 0 for a frame not recorded (yet). The driver can change
  // during a recording (after a stall, say), so a correction that depends
  // on it must ask about the frame it corrects.
  uint32_t driverAt(size_t frame) const;
  uint32_t quantumAt(size_t frame) const;
  // Where `frame` lies on the clock of the driver that drove its cycle
  // (driverAt): the cycle's position plus the frame's place in it. Cycles
  // this recorder missed leave no frames, so two recorded events are as far
  // apart as their clock positions say, not as their indices do.
  uint64_t clockAt(size_t frame) const;

 private:
  static void process(void* user, const PwCycle& cycle, const float* const* inputs,
                      float* const* outputs);

  size_t capacity_;
  std::vector<std::vector<float>> data_;
  std::vector<uint32_t> drivers_;  // per frame, as data_
  std::vector<uint32_t> quanta_;   // per frame, as data_
  std::vector<uint64_t> clock_;    // per frame, as data_
  std::atomic<bool> armRequest_{false};
  std::atomic<bool> recording_{false};
  std::atomic<size_t> frames_{0};
  std::unique_ptr<PwDspFilter> filter_;  // last: destroyed first
};

// PwPlayer: a source node of ours that plays a signal held in memory once,
// from the first cycle after start(), on its output ports, then silence.
class PwPlayer {
 public:
  // One signal per output port; shorter signals end early with silence.
  PwPlayer(PwThreadLoop& loop, std::string nodeName, std::vector<PwDspPort> outputs,
           std::vector<std::vector<float>> signal);
  ~PwPlayer();

  PwDspFilter& filter() { return *filter_; }
  void start();
  // Frames played since start(); any thread.
  size_t position() const { return position_.load(std::memory_order_acquire); }
  bool finished() const;

 private:
  static void process(void* user, const PwCycle& cycle, const float* const* inputs,
                      float* const* outputs);

  std::vector<std::vector<float>> signal_;
  size_t length_ = 0;
  std::atomic<bool> startRequest_{false};
  std::atomic<bool> playing_{false};
  std::atomic<size_t> position_{0};
  std::unique_ptr<PwDspFilter> filter_;
};

}  // namespace choralink::pipewire

// Calibration by microphone: while a broadcast runs, plays the measurement
// sweep on one device at a time through its render slot (the others silent),
// records a microphone, finds each device's arrival by cross-correlation and
// proposes per-device offsets that line every arrival up with the latest,
// then measures once more to verify them. Nothing is applied: the caller
// applies the proposed offsets (or not).
//
// A device that leaves the broadcast during a measurement rebuilds the
// broadcast; the run then starts over with the devices that remain and names
// the one that left. A broadcast that stops fails the run.
//
// Lives on the engine's queue (the router's executor): every step runs there,
// every callback is called there. cancel() and destruction end a run at once
// and call nothing more; off the queue, the cleanup (the capture, the
// router's signal) is posted to it, so destroy this before the router.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/calibration/calibration_control.h"
#include "engine/control/audio_router.h"
#include "engine/dispatch/executor.h"
#include "engine/hal/audio_system.h"
#include "support/log.h"

namespace choralink {

class MicCalibration final : public CalibrationControl {
 public:
  // Timing of one measurement: silence, then one sweep per device.
  static constexpr double kLeadSeconds = 0.4;
  static constexpr double kSpacingSeconds = 1.0;
  // A device's sweep must arrive before the next one starts: slower devices
  // than about 0.75 s widen the spacing to their reported latency plus this.
  static constexpr double kLatencyMarginSeconds = 0.25;
  static constexpr double kPollSeconds = 0.05;
  // Arrivals found earlier than their schedule by up to this much still
  // count (the schedule starts with the render's next cycle).
  static constexpr double kEarlySeconds = 0.02;
  static constexpr double kMinConfidenceDb = 20;
  // A window whose loudest sample stays below this heard nothing (-60 dBFS).
  static constexpr float kQuietLevel = 0.001f;
  static constexpr double kRebuildWaitSeconds = 3.0;
  static constexpr double kMicrophoneStallSeconds = 0.5;
  static constexpr int kMaxRestarts = 3;

  struct Environment {
    Environment(AudioSystem& system, AudioRouter& router, Executor& queue)
        : system(system), router(router), queue(queue) {}
    AudioSystem& system;
    AudioRouter& router;
    Executor& queue;     // the router's
    Log* log = nullptr;  // default: Log::shared()
  };

  explicit MicCalibration(Environment environment);
  ~MicCalibration() override;
  MicCalibration(const MicCalibration&) = delete;
  MicCalibration& operator=(const MicCalibration&) = delete;

  // Starts a run on the queue with the input device of this UID, replacing a
  // run in progress (which then calls nothing more). Any thread.
  void start(std::string microphoneUID, CalibrationCallbacks callbacks) override;
  // Ends a run; the program plays again and nothing changes. Any thread.
  void cancel() override;
  std::vector<InputDeviceInfo> microphones() override;

  class Run;

 private:
  Environment env_;
  std::mutex runMutex_;  // start and cancel may come from any thread
  std::shared_ptr<Run> run_;
};

}  // namespace choralink

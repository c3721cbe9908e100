// The engine's one top-level object: it owns the device catalog and at most
// one running BroadcastSession, keeps the parameters the render state must
// follow, publishes the device lists and the EngineEvent stream, supervises
// the broadcast (device changes, the heartbeat watchdog, silence, sleep and
// wake) and runs the capture probe.
//
// Threads.
//  - Every structural step (sessions, listeners, timers, the catalog) runs on
//    one serial queue, "app.choralink.engine": the router's own SerialQueue,
//    or an Executor given in the Environment (a VirtualExecutor in tests, so
//    every timer runs on virtual time).
//  - Parameter changes and meter read-outs are synchronous, may come from any
//    thread and take only the short `Live` lock; they never wait for the
//    queue, so a dragged slider never waits for a rebuild.
//  - The asynchronous operations come in two forms: with a RouterCompletion
//    (the RouterControl interface: called once, on the queue, when the step
//    has finished; chain the next step from there), and returning a
//    std::future<void> (wait on it; get() rethrows the step's error). Only
//    start and startCaptureProbe can fail. A step still queued when the
//    router is destroyed never runs: its completion is dropped and its
//    future reports a broken promise.
//
// Lifetime. The application shuts the router down (shutdownSync) before
// destroying it. Destruction ends the router's own queue first, then tears
// down whatever still runs, without events. With an executor given in the
// Environment, the caller must not destroy the router while that executor is
// running one of the router's tasks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/control/router_control.h"
#include "engine/devices/audio_device_info.h"
#include "engine/dispatch/bounded_stream.h"
#include "engine/dispatch/executor.h"
#include "engine/dispatch/serial_queue.h"
#include "engine/graph/latency_model.h"
#include "engine/hal/audio_system.h"
#include "support/log.h"
#include "types/broadcast_config.h"
#include "types/engine_event.h"

namespace choralink {

class AudioRouter final : public RouterControl {
 public:
  // The label of the router's serial queue.
  static constexpr const char* kQueueLabel = "app.choralink.engine";
  // Events the consumer may fall behind by before the oldest are dropped.
  static constexpr std::size_t kEventBuffer = 32;

  // ---- Supervision constants -------------------------------------------------
  static constexpr double kRebuildDelay = 0.25;
  static constexpr double kWatchdogPeriod = 1.0;
  static constexpr double kStallLimitNeverRan = 8.0;
  static constexpr double kStallLimitRan = 3.0;
  static constexpr double kWatchdogRestartStep = 2.0;  // × attempt number
  static constexpr int kWatchdogAttempts = 3;
  static constexpr double kAttemptsReset = 30.0;
  static constexpr double kSilenceReport = 30.0;
  static constexpr double kSilenceCleared = 1.0;
  static constexpr double kAutomaticRebuildWindow = 60.0;
  static constexpr std::size_t kAutomaticRebuildsPerWindow = 8;
  static constexpr double kWakeDelay = 2.0;
  // Parameter ranges.
  static constexpr std::int64_t kMaxOffsetMs = 500;

  static constexpr const char* kDevicesKeptChanging =
      "Devices kept changing, so sharing was stopped. Start again when they've settled.";
  static constexpr const char* kAudioStoppedMessage = "Audio stopped and could not be restarted";

  // What the router works with.
  struct Environment {
    explicit Environment(AudioSystem& system) : system(system) {}

    AudioSystem& system;
    // Default: Log::shared().
    Log* log = nullptr;
    // The rate journal. Default: Paths::rateRestoreFile().
    std::optional<std::filesystem::path> rateJournal;
    // The serial queue to run on; none: the router's own SerialQueue
    // labelled kQueueLabel. A given executor must outlive the router.
    Executor* queue = nullptr;
    // Whether this computer is a laptop (device kinds); none: isLaptop().
    std::optional<bool> isLaptop;
  };

  // Creates the queue, the streams and the catalog, then, on the queue:
  // restores journalled sample rates, destroys aggregates left by an earlier
  // run, starts the catalog and publishes its first device list.
  explicit AudioRouter(Environment environment);
  ~AudioRouter() override;
  AudioRouter(const AudioRouter&) = delete;
  AudioRouter& operator=(const AudioRouter&) = delete;

  Executor& queue();

  // ---- Streams ---------------------------------------------------------------

  // Every device list the catalog publishes; the newest undelivered only.
  BoundedStream<std::vector<AudioDeviceInfo>>& deviceSnapshots() override;
  // Every engine event; the newest 32 undelivered.
  BoundedStream<EngineEvent>& events() override;

  // A broadcast (not a capture probe) runs. Any thread.
  bool isRunning();

  // ---- Broadcasts ----------------------------------------------------------------

  // Stores `config` (values clamped) and builds the broadcast on the queue,
  // replacing a running one. Fails with the build's error; finding no device
  // is not a failure: it sends stopped(noDevices).
  void start(const BroadcastConfig& config, RouterCompletion done) override;
  std::future<void> start(const BroadcastConfig& config);
  // Tears the broadcast down and sends stopped(user), even when idle.
  void stop(RouterCompletion done) override;
  std::future<void> stop();
  // A live change when only parameters changed (the same mode and the same
  // set of devices); otherwise a rebuild 0.25 s later while a broadcast is
  // wanted. Synchronous.
  void update(const BroadcastConfig& config) override;

  // ---- Live parameters (any thread, synchronous) -----------------------------------

  // The first device entry with this UID gets the volume, clamped to 0…1
  // (NaN gives 0).
  void setVolume(const std::string& uid, float volume) override;
  // The first device entry with this UID gets the offset clamped to 0…500 ms.
  void setOffset(const std::string& uid, std::int64_t ms, bool userSet) override;
  // Clamped to 0…1 (NaN gives 0).
  void setMasterVolume(float volume) override;
  // The configuration as stored, with the parameter changes applied.
  BroadcastConfig config();

  // ---- Meters and read-outs (any thread) -------------------------------------------

  std::map<std::string, float> levels() override;
  float inputLevel() override;
  std::uint64_t heartbeat();
  bool callbackHasRun() override;
  void playTestTone() override;
  std::map<std::string, LatencyModel::Output> delayBreakdown() override;

  // ---- Measurement signal (router_measurement.cpp) -------------------------------

  // One device of the broadcast as a measurement sees it: its render slot and
  // the delay it gets now (latency pad plus the user's offset), in frames.
  struct MeasuredDevice {
    std::string uid;
    std::int32_t delayFrames = 0;
    // The latency the device reports, in broadcast frames.
    std::int64_t latencyFrames = 0;
  };
  struct MeasurementView {
    double rate = 0;
    std::vector<MeasuredDevice> devices;  // in slot order
  };
  // The running broadcast's devices; none while no broadcast plays.
  std::optional<MeasurementView> measurementView();
  // Plays `signal` on the listed devices one after another, the k-th from
  // frame lead + k * spacing on, every device silent otherwise, until
  // endMeasurementSignal (cl_render_start_probe). The router keeps the signal
  // alive for as long as the broadcast's render state may read it. False
  // when no broadcast plays or a UID is not one of its devices.
  bool startMeasurementSignal(std::shared_ptr<const std::vector<float>> signal,
                              const std::vector<std::string>& uids, std::int32_t leadFrames,
                              std::int32_t spacingFrames);
  // Frames of the schedule played so far; none when the broadcast it was
  // started on has ended or been rebuilt since, or none was started.
  std::optional<std::int64_t> measurementPosition();
  // Back to the program. Does nothing when no signal plays.
  void endMeasurementSignal();

  // ---- Capture probe -----------------------------------------------------------------

  // A silent session on one output device that shows whether capture works.
  // Does nothing while a broadcast runs or is wanted. Fails with HALError
  // (-1, "No output device") or the session's error.
  void startCaptureProbe(RouterCompletion done) override;
  std::future<void> startCaptureProbe();
  void stopCaptureProbe(RouterCompletion done) override;
  std::future<void> stopCaptureProbe();

  // ---- System sleep and quitting ------------------------------------------------------

  // Both return at once and do their work on the queue: sleep tears the
  // broadcast down (stopped(sleep)); wake restarts a wanted one 2 s later.
  void systemWillSleep() override;
  void systemDidWake() override;
  // Tears everything down and stops the catalog; no event.
  void shutdown(RouterCompletion done);
  std::future<void> shutdown();
  // The same, waiting at most `timeoutSeconds` (then logs a warning and
  // returns; the work still runs later). On the queue itself it runs inline.
  void shutdownSync(double timeoutSeconds) override;

  class Impl;

 private:
  std::unique_ptr<SerialQueue> ownQueue_;
  std::shared_ptr<Impl> impl_;
};

}  // namespace choralink

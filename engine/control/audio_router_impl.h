// The router's state and private steps, shared by its three source files:
// audio_router.cpp (construction, start, stop, update, the parameter path and
// the read-outs), router_supervision.cpp (rebuild, teardown, device changes,
// listeners, the watchdog, sleep, wake and shutdown) and capture_probe.cpp.
//
// Everything but `live`, `liveMutex` and the two streams is touched only by
// tasks of `queue`. Tasks, timers and listeners hold the Impl weakly and do
// nothing once the router is gone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/control/audio_router.h"
#include "engine/control/device_catalog.h"
#include "engine/graph/broadcast_session.h"
#include "engine/hal/property_listener.h"

namespace choralink {

class AudioRouter::Impl : public std::enable_shared_from_this<Impl> {
 public:
  // The state the synchronous callers share with the queue, always used with
  // `liveMutex` held. `render` is a borrowed handle of the session's render
  // state: it is cleared before the session is torn down, so no caller can
  // reach a freed render state.
  struct Live {
    BroadcastConfig config;
    cl_render* render = nullptr;
    std::map<std::string, std::int32_t> slots;
    std::map<std::string, AudioDeviceInfo> devices;
    double rate = 48000;
    std::int32_t maxDelay = 0;
    bool probe = false;
  };

  Impl(AudioSystem& system, Executor& queue, Log& log, std::filesystem::path rateJournal,
       bool isLaptop);

  // ---- Running steps on the queue ----------------------------------------------

  // Posts `step`; when it has run, calls `done` with its error (or null).
  // When the router is gone by then, neither runs.
  void onQueue(std::function<void(Impl&)> step, RouterCompletion done);
  // Posts `work` to run `delay` seconds from now while the router exists.
  TaskHandle later(double delay, std::function<void(Impl&)> work);

  // ---- Steps (queue only) ----------------------------------------------------------

  void initialize();
  void startStep();
  void stopStep();
  void rebuild(const std::string& reason);
  void scheduleRebuild(const std::string& reason);
  void teardown();
  void devicesChanged(const std::vector<AudioDeviceInfo>& devices);
  void watchDevices();
  void startWatchdog();
  void watchdogTick();
  bool allowAutomaticRebuild();
  void fail(const std::string& message);
  // The sound server's "srvl" changed: a loss ends the broadcast at once.
  void serviceChanged();
  // What the server says of itself; none when it cannot be asked.
  std::optional<bool> serviceAlive();
  void endForServiceLoss();
  void willSleep();
  // `due`: when the restart may run, on the queue's clock.
  void didWake(double due);
  void shutdownStep();
  void startProbeStep();
  void stopProbeStep();
  // What the destructor leaves behind: nothing.
  void finalCleanup() noexcept;

  void send(EngineEvent event) { events.send(std::move(event)); }
  bool probeRunning();
  BroadcastConfig currentConfig();
  BroadcastSession::Environment sessionEnvironment();

  // ---- The parameter path (with liveMutex held) --------------------------------------

  void applyParametersLocked();
  std::map<std::string, LatencyModel::Output> computeDelaysLocked() const;
  // Clears the render handle and the slots: nothing reaches the session's
  // render state any more.
  void clearLiveLocked();

  // ---- Fields ------------------------------------------------------------------------

  LatestValueStream<std::vector<AudioDeviceInfo>> snapshots;
  BoundedStream<EngineEvent> events{kEventBuffer};

  AudioSystem& system;
  Executor& queue;
  Log& log;
  const std::filesystem::path rateJournal;
  std::shared_ptr<DeviceCatalog> catalog;

  std::unique_ptr<BroadcastSession> session;
  bool wantRunning = false;
  bool resumeAfterWake = false;
  TaskHandle rebuildWork;
  TaskHandle wakeWork;
  TaskHandle watchdog;
  std::uint64_t lastHeartbeat = 0;
  std::optional<double> stalledSince;
  int rebuildAttempts = 0;
  bool silentReported = false;
  std::vector<PropertyListener> aliveListeners;
  std::optional<PropertyListener> overloadListener;
  // For the router's whole life (installed by initialize, removed at the end).
  std::optional<PropertyListener> serviceListener;
  bool sleeping = false;
  std::set<std::string> previousPresent;
  std::optional<std::string> lastDefaultUID;
  std::optional<double> sessionStartedAt;
  bool everRanSinceStart = false;
  std::vector<double> automaticRebuilds;

  std::mutex liveMutex;
  Live live;
  // The render state a measurement signal was started on (cleared with the
  // live handle) and every signal handed to a render state still alive.
  cl_render* measuredRender = nullptr;
  std::vector<std::shared_ptr<const std::vector<float>>> measurementSignals;
};

// `config` with every value in its range: volumes 0…1 (NaN gives 0), offsets
// 0…500 ms.
BroadcastConfig clampedConfig(BroadcastConfig config);
float clampVolume(float volume);
std::int64_t clampOffset(std::int64_t ms);

}  // namespace choralink

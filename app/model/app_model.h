// The one observable object between the user interface and the audio
// engine. It owns the router, the settings store and the updater; holds the
// latest device list and engine state; turns the user's choices into the
// engine's BroadcastConfig; consumes the router's two streams; polls output
// levels for the meters; and derives every status text and warning flag the
// views show. Every setting change goes through it and is saved after a short
// quiet period.
//
// The model lives on one thread, the one its Executor runs tasks on (the
// toolkit's event loop in the application, a VirtualExecutor in tests):
// construction, every read, every operation and destruction happen there.
// Its own later work (the stream consumers, the start and stop follow-ups,
// the debounced save, the meter timer, the capture check) runs as tasks of
// that executor and holds the model only weakly: once the model is gone they
// end without touching it. The executor must outlive the model and its
// router.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/model/app_presence.h"
#include "app/model/capture_check_sound.h"
#include "app/model/engine_state.h"
#include "app/model/login_item.h"
#include "app/model/model_observation.h"
#include "app/model/router_control.h"
#include "app/model/updater_control.h"
#include "engine/dispatch/executor.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/settings_store.h"

namespace choralink {

class AppModel {
 public:
  // Debounce of settings writes: one write after this much quiet.
  static constexpr double kSaveDebounce = 0.4;
  // The meters refresh about 30 times a second while broadcasting.
  static constexpr double kMeterInterval = 1.0 / 30.0;
  // Per tick a meter falls to this share of its last value ...
  static constexpr float kMeterDecay = 0.86f;
  // ... and reads exactly zero below this.
  static constexpr float kMeterFloor = 0.0001f;
  // The largest extra delay a device can be given, in ms.
  static constexpr std::int64_t kMaxOffsetMs = 500;
  // How long quitting waits for the engine to restore the system's output.
  static constexpr double kShutdownTimeout = 5.0;
  // The capture check: polls for the probe's first callback, the interval
  // between polls, listening polls, and the peak that counts as sound.
  static constexpr int kProbeCallbackPolls = 30;
  static constexpr double kProbePollInterval = 0.1;
  static constexpr int kProbeListenPolls = 25;
  static constexpr float kProbeSoundThreshold = 0.001f;

  // What the model is built from. Only the router is required; every other
  // part has the default named beside it.
  struct Parts {
    std::unique_ptr<RouterControl> router;
    // Default: Paths::settingsFile().
    std::optional<std::filesystem::path> settingsFile;
    // Default: Log::shared(). Must outlive the model.
    Log* log = nullptr;
    // Default: XdgAutostartEntry in the user's autostart folder.
    std::unique_ptr<LoginItemService> loginItem;
    // Default: NoAppPresence.
    std::unique_ptr<AppPresence> presence;
    // Default: NoCaptureCheckSound.
    std::unique_ptr<CaptureCheckSound> captureSound;
    // Default: NoUpdater.
    std::unique_ptr<UpdaterControl> updater;
  };

  // Loads the settings, logs the start line, reads the login item's state
  // and subscribes to the router's streams. Throws std::invalid_argument
  // without a router.
  AppModel(Executor& main, Parts parts);
  // Ends every task of the model; saves nothing (shutdown() does).
  ~AppModel();
  AppModel(const AppModel&) = delete;
  AppModel& operator=(const AppModel&) = delete;

  // ---- Observation -----------------------------------------------------------

  // `observer` is called with each field that changed (see ModelObservers).
  // engineState, captureSilent, captureBlocked and settings notify only
  // when the new value differs from the old; levels only when a meter value
  // changed; every other field on every assignment.
  [[nodiscard]] Observation observe(ModelObservers::Observer observer);

  // ---- Fields ----------------------------------------------------------------

  // The thread the model lives on. Views run their own later work here
  // (a retry, an answer from a worker thread), so it keeps to the model's
  // thread and runs on virtual time in tests.
  Executor& executor() const { return main_; }
  RouterControl& router() { return *router_; }
  // The latest device snapshot, in the engine's order.
  const std::vector<AudioDeviceInfo>& devices() const { return devices_; }
  const EngineState& engineState() const { return engineState_; }
  // Devices playing in the running broadcast.
  const std::set<std::string>& activeUIDs() const { return activeUIDs_; }
  // Meter values 0…1 by UID.
  const std::map<std::string, float>& levels() const { return levels_; }
  // Why a device could not join, by UID.
  const std::map<std::string, std::string>& deviceProblems() const { return deviceProblems_; }
  // Devices that vanished while broadcasting: UID → name.
  const std::map<std::string, std::string>& lostUIDs() const { return lostUIDs_; }
  bool captureSilent() const { return captureSilent_; }
  bool captureBlocked() const { return captureBlocked_; }
  // The engine's per-device delays, for display.
  const std::map<std::string, LatencyModel::Output>& delays() const { return delays_; }
  const AppSettings& settings() const { return settings_; }
  // Why settings are not saved this run (a corrupt file the store could not
  // move aside, and where it is); empty normally. Fixed at start.
  const std::string& settingsWarning() const { return settingsWarning_; }
  UpdaterControl& updater() { return *updater_; }

  AppSection section() const { return section_; }
  void setSection(AppSection section);
  bool showOnboarding() const { return showOnboarding_; }
  void setShowOnboarding(bool show);
  bool showFeedback() const { return showFeedback_; }
  void setShowFeedback(bool show);
  // Installed by the user interface: brings up the main window. May be
  // empty.
  const std::function<void()>& openMainWindow() const { return openMainWindow_; }
  void setOpenMainWindow(std::function<void()> action) { openMainWindow_ = std::move(action); }

  // Whether the meter timer runs (from a started event to the next stopped).
  bool metersRunning() const { return static_cast<bool>(meterTimer_); }
  // Whether a debounced save is waiting.
  bool savePending() const { return saveTask_ && !saveTask_.isCancelled(); }

  // ---- Derived values (computed on every read) ---------------------------------

  // running, rebuilding or starting.
  bool isSharing() const;
  // devices that can play, in order.
  std::vector<AudioDeviceInfo> supportedDevices() const;
  // The first device marked as the system's default output.
  std::optional<std::string> defaultOutputUID() const;
  // The stored entry, or a disabled one at volume 100 without delay.
  DeviceSettings deviceSettings(const std::string& uid) const;
  // Supported devices switched on, without the default output in mirror
  // mode (it keeps playing by itself there).
  std::vector<AudioDeviceInfo> enabledDevices() const;
  int enabledBluetoothCount() const;
  // Devices playing, counting the default output in mirror mode.
  int sharingCount() const;
  // "Desk Speaker, TV disconnected — still playing on 2 devices" while
  // running with lost devices.
  std::optional<std::string> lostNotice() const;
  std::string statusLine() const;
  bool statusIsWarning() const;
  // Where the system's audio-capture permission is granted; empty where
  // there is no such link.
  static std::string_view privacySettingsURL();
  // The engine configuration for the current settings and devices.
  BroadcastConfig broadcastConfig() const;

  // ---- Operations (none throws) ------------------------------------------------

  void startSharing();
  void stopSharing();
  void setEnabled(const AudioDeviceInfo& device, bool on);
  // `value` in percent; stored rounded, sent unrounded.
  void setVolume(const AudioDeviceInfo& device, double value);
  void setOffset(const AudioDeviceInfo& device, std::int64_t ms);
  void resetDelays();
  void setMasterVolume(double value);
  void setMode(BroadcastMode mode);
  void setShowInDock(bool on);
  void setLaunchAtLogin(bool on);
  // Stores the appearance and applies it.
  void setAppearance(AppearanceMode mode);
  // Applies the stored appearance.
  void applyAppearance();
  void finishOnboarding(bool startSharing);
  // The capture check of onboarding: runs the router's capture probe while
  // the check sound plays, and calls `done` on the model's thread with
  // whether the sound was heard. Takes up to about 5.5 s. Not called when
  // the model is destroyed first.
  void verifyCapture(std::function<void(bool heard)> done);
  // For quitting: cancels the pending save, saves now, and shuts the engine
  // down (blocking for at most kShutdownTimeout), then tells the updater.
  void shutdown();

 private:
  struct ProbeRun;

  // Engine input.
  void devicesChanged(std::vector<AudioDeviceInfo> list);
  void handle(const EngineEvent& event);
  void handleStopped(const StopReason& reason);
  void startMeters();
  void stopMeters();
  void tickMeters();

  void scheduleSave();
  void updateEngineIfSharing();

  // Field stores with the notification rules.
  void setEngineState(EngineState state);
  void setCaptureSilent(bool silent);
  void setCaptureBlocked(bool blocked);
  void setSettings(AppSettings settings);
  template <class Change>
  void changeSettings(Change&& change) {
    AppSettings next = settings_;
    change(next);
    setSettings(std::move(next));
  }
  void setDelays(std::map<std::string, LatencyModel::Output> delays);
  void clearLostAndProblems();

  // The capture check's steps.
  void probeWaitForCallback(std::shared_ptr<ProbeRun> run, int poll);
  void probeListen(std::shared_ptr<ProbeRun> run);
  void probeListenStep(std::shared_ptr<ProbeRun> run, int poll);
  void probeFinish(std::shared_ptr<ProbeRun> run);

  // `work`, run later on the model's thread, only while the model exists.
  Task whileAlive(std::function<void()> work);
  // A completion for the router that hands its result to `then` on the
  // model's thread, only while the model exists.
  RouterCompletion onMain(std::function<void(std::exception_ptr)> then);

  Executor& main_;
  Log& log_;
  ModelObservers observers_;

  // Stored state, in the order views know it.
  std::unique_ptr<RouterControl> router_;
  std::vector<AudioDeviceInfo> devices_;
  EngineState engineState_ = EngineState::off();
  std::set<std::string> activeUIDs_;
  std::map<std::string, float> levels_;
  std::map<std::string, std::string> deviceProblems_;
  std::map<std::string, std::string> lostUIDs_;
  bool captureSilent_ = false;
  bool captureBlocked_ = false;
  std::map<std::string, LatencyModel::Output> delays_;
  AppSettings settings_;
  SettingsStore store_;
  std::string settingsWarning_;
  TaskHandle saveTask_;
  std::unique_ptr<UpdaterControl> updater_;
  // The updater's changes, forwarded as ModelField::updater.
  Observation updaterObservation_;
  AppSection section_ = AppSection::devices;
  bool showOnboarding_ = false;
  bool showFeedback_ = false;
  TaskHandle meterTimer_;
  std::function<void()> openMainWindow_;

  std::unique_ptr<LoginItemService> loginItem_;
  std::unique_ptr<AppPresence> presence_;
  std::unique_ptr<CaptureCheckSound> captureSound_;

  // Expires when the model goes; every later task checks it first.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // Last, so they end first: no element is delivered to a model being torn
  // down.
  StreamSubscription snapshotSubscription_;
  StreamSubscription eventSubscription_;
};

}  // namespace choralink

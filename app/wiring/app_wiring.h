// The application below its views: the audio backend, the engine's router on
// its own serial queue ("app.choralink.engine"), and the one AppModel with
// its platform parts (the XDG autostart login item, the given presence and
// updater, the backend's capture-check sound). It also holds the frame's two
// toolkit-free sequences, launch finished and will terminate, so that every
// composition root runs them in the same order.
//
// Lives on the model's thread. Member order is the teardown order: the model
// (and with it the router) goes before the backend it works on.
#pragma once

#include <memory>
#include <string>

#include "app/model/app_model.h"
#include "app/model/app_presence.h"
#include "app/model/calibration_model.h"
#include "app/model/updater_control.h"
#include "app/wiring/frame_rules.h"
#include "engine/calibration/mic_calibration.h"
#include "engine/dispatch/executor.h"
#include "engine/hal/audio_backend.h"
#include "support/log.h"

namespace choralink {

class AppWiring {
 public:
  struct Parts {
    // Default: NoAppPresence.
    std::unique_ptr<AppPresence> presence;
    // Default: NoUpdater.
    std::unique_ptr<UpdaterControl> updater;
    // Passed to openAudioBackend() unchanged.
    AudioBackendOptions backend;
    // Default: Log::shared(). Must outlive this object.
    Log* log = nullptr;
  };

  // Opens the backend and builds router and model. Throws AudioBackendError
  // when the asked-for backend cannot be had.
  AppWiring(Executor& main, Parts parts);
  // Destroys the model and the router without saving (willTerminate() does).
  ~AppWiring();
  AppWiring(const AppWiring&) = delete;
  AppWiring& operator=(const AppWiring&) = delete;

  AppModel& model() { return *model_; }
  AudioBackend& backend() { return *backend_; }
  // Calibration by microphone on the backend's input devices, for the Sync
  // page's sheet.
  CalibrationModel& calibration() { return *calibrationModel_; }
  // What the user should be told about the devices ("Devices are
  // simulated: …"); empty on a real sound server.
  const std::string& backendNote() const { return backend_->note(); }

  // What launching finished does, in this order: the stored appearance, the
  // taskbar entry as stored, the updater's start, a warning for a
  // development variable it ignores, the snapshots (through
  // `scheduleSnapshots`, which knows the windows), the development autostart
  // (kDevAutostartDelay later on the model's thread) and, last, following
  // sleep and wake (`followSleepAndWake`). Either hook may be empty.
  void launchFinished(const DevelopmentRequests& requests,
                      const std::function<void(const SnapshotRequest&)>& scheduleSnapshots,
                      const std::function<void()>& followSleepAndWake);

  // The one way out, whichever asked (quit, a signal, the session's
  // logout): saves the settings, shuts the engine down within its bound and
  // logs "Choralink quit". Runs once; later calls do nothing.
  void willTerminate();
  bool terminated() const { return terminated_; }

 private:
  Executor& main_;
  Log& log_;
  std::unique_ptr<AudioBackend> backend_;
  // Owned by the model; kept to set the taskbar entry at launch without
  // storing the setting again.
  AppPresence* presence_ = nullptr;
  std::unique_ptr<AppModel> model_;
  // Listen through the router the model owns: they go before it.
  std::unique_ptr<MicCalibration> calibration_;
  std::unique_ptr<CalibrationModel> calibrationModel_;
  TaskHandle autostart_;
  bool terminated_ = false;
};

}  // namespace choralink

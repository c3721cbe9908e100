// The updater the app model owns: the operations the application's frame
// and the settings views call through the model, and the state they show.
// The updater itself (feed checks, the download veto, installation) lives in
// its own component (app/update); the model only keeps it alive for the life
// of the process. Everything here is on the model's thread.
#pragma once

#include <utility>

#include "app/model/model_observation.h"

namespace choralink {

class UpdaterControl {
 public:
  virtual ~UpdaterControl() = default;
  // Called once when launching has finished.
  virtual void start() = 0;
  // A check the user asked for. Without a controller the frame shows why
  // updates are unavailable (see the views' updater windows).
  virtual void checkForUpdates() = 0;

  // Whether this build has a working update controller (a packaged, signed
  // install). False before start() and in every other build.
  virtual bool hasController() const = 0;
  // Whether a check may start now: false while a check or download runs,
  // and without a controller.
  virtual bool canCheck() const = 0;
  // Whether scheduled checks are on; always false without a controller.
  virtual bool automaticallyChecks() const = 0;
  // The "Automatically check for updates" switch. Without a controller the
  // value stays false.
  virtual void setAutomaticallyChecks(bool value) = 0;
  // The application is quitting (the model's shutdown): an update waiting
  // for that is switched in now, to start next time.
  virtual void applicationWillTerminate() {}

  // `observer` is called with ModelField::updater whenever hasController,
  // canCheck or automaticallyChecks changed, on the model's thread, until the
  // returned Observation ends. The app model forwards this to its own
  // observers, so views need observe only the model.
  [[nodiscard]] Observation observe(ModelObservers::Observer observer) {
    return observers_.add(std::move(observer));
  }

 protected:
  // For implementations: after any of the three values changed.
  void notifyChanged() const { observers_.notify(ModelField::updater); }

 private:
  ModelObservers observers_;
};

// A build without an updater.
class NoUpdater final : public UpdaterControl {
 public:
  void start() override {}
  void checkForUpdates() override {}
  bool hasController() const override { return false; }
  bool canCheck() const override { return false; }
  bool automaticallyChecks() const override { return false; }
  void setAutomaticallyChecks(bool) override {}
};

}  // namespace choralink

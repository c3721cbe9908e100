#include "app/wiring/app_wiring.h"

#include <utility>

#include "app/model/xdg_autostart.h"
#include "app/wiring/backend_capture_check_sound.h"
#include "engine/control/audio_router.h"

namespace choralink {

AppWiring::AppWiring(Executor& main, Parts parts)
    : main_(main),
      log_(parts.log != nullptr ? *parts.log : Log::shared()),
      backend_(openAudioBackend(parts.backend)) {
  if (!backend_->note().empty()) log_.info(backend_->note());

  AudioRouter::Environment environment(backend_->system());
  environment.log = &log_;
  AppModel::Parts modelParts;
  auto router = std::make_unique<AudioRouter>(environment);
  AudioRouter& engine = *router;
  modelParts.router = std::move(router);
  modelParts.log = &log_;
  modelParts.loginItem = std::make_unique<XdgAutostartEntry>();
  modelParts.presence =
      parts.presence ? std::move(parts.presence) : std::make_unique<NoAppPresence>();
  presence_ = modelParts.presence.get();
  modelParts.captureSound = std::make_unique<BackendCaptureCheckSound>(*backend_);
  modelParts.updater = parts.updater ? std::move(parts.updater) : std::make_unique<NoUpdater>();
  model_ = std::make_unique<AppModel>(main_, std::move(modelParts));

  MicCalibration::Environment listening(backend_->system(), engine, engine.queue());
  listening.log = &log_;
  calibration_ = std::make_unique<MicCalibration>(listening);
  calibrationModel_ = std::make_unique<CalibrationModel>(main_, *calibration_, *model_);
}

AppWiring::~AppWiring() {
  autostart_.cancel();
  calibrationModel_.reset();
  calibration_.reset();
  model_.reset();
}

void AppWiring::launchFinished(const DevelopmentRequests& requests,
                               const std::function<void(const SnapshotRequest&)>& scheduleSnapshots,
                               const std::function<void()>& followSleepAndWake) {
  model_->applyAppearance();
  presence_->setShowInTaskbar(model_->settings().showInDock);
  model_->updater().start();
  if (!requests.ignored.empty()) log_.warn(requests.ignored);
  if (requests.snapshots && scheduleSnapshots) scheduleSnapshots(*requests.snapshots);
  if (requests.autostart) {
    autostart_ = main_.postAfter(kDevAutostartDelay, [this] {
      if (!terminated_) model_->startSharing();
    });
  }
  if (followSleepAndWake) followSleepAndWake();
}

void AppWiring::willTerminate() {
  if (terminated_) return;
  terminated_ = true;
  autostart_.cancel();
  calibrationModel_->cancel();
  model_->shutdown();
  log_.info("Choralink quit");
  log_.flush();
}

}  // namespace choralink

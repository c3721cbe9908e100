#include "app/model/app_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "app/model/platform_texts.h"
#include "app/model/xdg_autostart.h"
#include "support/app_info.h"
#include "support/paths.h"

namespace choralink {
namespace {

using Kind = EngineState::Kind;

std::string describeError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& failure) {
    return failure.what();
  } catch (...) {
    return "unknown error";
  }
}

// Percent from a view, made safe to store: settings hold 0–100 (the store
// clamps the same way when reading a file). NaN counts as 0, as the router
// treats a NaN gain.
double clampPercent(double value) {
  if (std::isnan(value)) return 0.0;
  return std::clamp(value, 0.0, 100.0);
}

// Nearest whole percent, halves away from zero.
std::int64_t roundPercent(double value) {
  return std::llround(clampPercent(value));
}

std::string plural(int count, std::string_view noun) {
  std::string text = std::to_string(count) + " " + std::string(noun);
  if (count != 1) text += "s";
  return text;
}

}  // namespace

struct AppModel::ProbeRun {
  std::function<void(bool)> done;
  float peak = 0.0f;
  bool ran = false;
};

AppModel::AppModel(Executor& main, Parts parts)
    : main_(main),
      log_(parts.log != nullptr ? *parts.log : Log::shared()),
      router_(std::move(parts.router)),
      store_(parts.settingsFile ? *parts.settingsFile : Paths::settingsFile(), log_),
      updater_(parts.updater ? std::move(parts.updater) : std::make_unique<NoUpdater>()),
      loginItem_(parts.loginItem ? std::move(parts.loginItem)
                                 : std::make_unique<XdgAutostartEntry>()),
      presence_(parts.presence ? std::move(parts.presence) : std::make_unique<NoAppPresence>()),
      captureSound_(parts.captureSound ? std::move(parts.captureSound)
                                       : std::make_unique<NoCaptureCheckSound>()) {
  if (!router_) throw std::invalid_argument("AppModel needs a router");

  settings_ = store_.load();
  settingsWarning_ = store_.warning();
  showOnboarding_ = !settings_.onboardingDone;
  log_.info("Choralink " + std::string(AppInfo::version()) +
            std::string(PlatformTexts::shown(PlatformTexts::kStartLineSystem)) +
            AppInfo::osVersion() + " (" + std::string(AppInfo::arch()) + ")");
  // The system's state wins over the stored flag; saved with the next change.
  settings_.launchAtLogin = loginItem_->isEnabled();

  std::weak_ptr<int> alive = alive_;
  snapshotSubscription_ =
      router_->deviceSnapshots().consume(main_, [this, alive](std::vector<AudioDeviceInfo> list) {
        if (!alive.expired()) devicesChanged(std::move(list));
      });
  eventSubscription_ = router_->events().consume(main_, [this, alive](EngineEvent event) {
    if (!alive.expired()) handle(event);
  });
  updaterObservation_ = updater_->observe([this](ModelField field) { observers_.notify(field); });
}

AppModel::~AppModel() {
  alive_.reset();
  updaterObservation_.cancel();
  snapshotSubscription_.cancel();
  eventSubscription_.cancel();
  saveTask_.cancel();
  meterTimer_.cancel();
}

Observation AppModel::observe(ModelObservers::Observer observer) {
  return observers_.add(std::move(observer));
}

Task AppModel::whileAlive(std::function<void()> work) {
  return [alive = std::weak_ptr<int>(alive_), work = std::move(work)] {
    if (!alive.expired()) work();
  };
}

RouterCompletion AppModel::onMain(std::function<void(std::exception_ptr)> then) {
  // Called on the router's thread: only the executor (which outlives the
  // model) is touched there; the model is looked at on its own thread.
  return [executor = &main_, alive = std::weak_ptr<int>(alive_),
          then = std::move(then)](std::exception_ptr error) {
    executor->post([alive, then, error] {
      if (!alive.expired()) then(error);
    });
  };
}

// ---- Field stores -------------------------------------------------------------

void AppModel::setSection(AppSection section) {
  section_ = section;
  observers_.notify(ModelField::section);
}

void AppModel::setShowOnboarding(bool show) {
  showOnboarding_ = show;
  observers_.notify(ModelField::showOnboarding);
}

void AppModel::setShowFeedback(bool show) {
  showFeedback_ = show;
  observers_.notify(ModelField::showFeedback);
}

void AppModel::setEngineState(EngineState state) {
  if (state == engineState_) return;
  engineState_ = std::move(state);
  observers_.notify(ModelField::engineState);
}

void AppModel::setCaptureSilent(bool silent) {
  if (silent == captureSilent_) return;
  captureSilent_ = silent;
  observers_.notify(ModelField::captureSilent);
}

void AppModel::setCaptureBlocked(bool blocked) {
  if (blocked == captureBlocked_) return;
  captureBlocked_ = blocked;
  observers_.notify(ModelField::captureBlocked);
}

void AppModel::setSettings(AppSettings settings) {
  if (settings == settings_) return;
  settings_ = std::move(settings);
  observers_.notify(ModelField::settings);
}

void AppModel::setDelays(std::map<std::string, LatencyModel::Output> delays) {
  delays_ = std::move(delays);
  observers_.notify(ModelField::delays);
}

void AppModel::clearLostAndProblems() {
  lostUIDs_.clear();
  observers_.notify(ModelField::lostUIDs);
  deviceProblems_.clear();
  observers_.notify(ModelField::deviceProblems);
}

// ---- Derived values -----------------------------------------------------------

bool AppModel::isSharing() const {
  return engineState_.is(Kind::running) || engineState_.is(Kind::rebuilding) ||
         engineState_.is(Kind::starting);
}

std::vector<AudioDeviceInfo> AppModel::supportedDevices() const {
  std::vector<AudioDeviceInfo> supported;
  for (const AudioDeviceInfo& device : devices_) {
    if (device.supportStatus == SupportStatus::supported) supported.push_back(device);
  }
  return supported;
}

std::optional<std::string> AppModel::defaultOutputUID() const {
  for (const AudioDeviceInfo& device : devices_) {
    if (device.isDefaultOutput) return device.uid;
  }
  return std::nullopt;
}

DeviceSettings AppModel::deviceSettings(const std::string& uid) const {
  if (auto found = settings_.devices.find(uid); found != settings_.devices.end()) {
    return found->second;
  }
  return DeviceSettings(false, 100, 0, false, "");
}

std::vector<AudioDeviceInfo> AppModel::enabledDevices() const {
  const std::optional<std::string> defaultUID = defaultOutputUID();
  const bool mirror = settings_.mode == BroadcastMode::mirror;
  std::vector<AudioDeviceInfo> enabled;
  for (const AudioDeviceInfo& device : supportedDevices()) {
    auto entry = settings_.devices.find(device.uid);
    if (entry == settings_.devices.end() || !entry->second.enabled) continue;
    if (mirror && defaultUID && device.uid == *defaultUID) continue;
    enabled.push_back(device);
  }
  return enabled;
}

int AppModel::enabledBluetoothCount() const {
  int count = 0;
  for (const AudioDeviceInfo& device : enabledDevices()) {
    if (isBluetooth(device.transport)) ++count;
  }
  return count;
}

int AppModel::sharingCount() const {
  int count = static_cast<int>(activeUIDs_.size());
  if (settings_.mode == BroadcastMode::mirror && defaultOutputUID()) ++count;
  return count;
}

std::optional<std::string> AppModel::lostNotice() const {
  if (!engineState_.is(Kind::running) || lostUIDs_.empty()) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& [uid, name] : lostUIDs_)
    names.push_back(name);
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text + " disconnected — still playing on " + plural(sharingCount(), "device");
}

std::string AppModel::statusLine() const {
  if (captureBlocked_ && !isSharing()) {
    return std::string(PlatformTexts::shown(PlatformTexts::kCaptureBlockedStatus));
  }
  switch (engineState_.kind()) {
    case Kind::off:
      if (!settingsWarning_.empty()) return settingsWarning_;
      return enabledDevices().empty()
                 ? std::string(PlatformTexts::shown(PlatformTexts::kChooseDevicesStatus))
                 : "Off";
    case Kind::starting:
      return "Starting…";
    case Kind::running:
      if (auto notice = lostNotice()) return *notice;
      if (captureSilent_) {
        return std::string(PlatformTexts::shown(PlatformTexts::kCaptureSilentStatus));
      }
      return "Sharing to " + plural(sharingCount(), "device") + " · In sync";
    case Kind::rebuilding:
      return "Updating devices…";
    case Kind::failed:
      break;
  }
  return engineState_.message();
}

bool AppModel::statusIsWarning() const {
  if (captureBlocked_ && !isSharing()) return true;
  if (engineState_.is(Kind::off) && !settingsWarning_.empty()) return true;
  if (engineState_.is(Kind::failed)) return true;
  if (engineState_.is(Kind::running)) return lostNotice() ? true : captureSilent_;
  return false;
}

std::string_view AppModel::privacySettingsURL() {
  return PlatformTexts::shown(PlatformTexts::kPrivacySettingsURL);
}

BroadcastConfig AppModel::broadcastConfig() const {
  BroadcastConfig config;
  config.mode = settings_.mode;
  config.masterVolume = static_cast<float>(settings_.masterVolume / 100.0);
  // Unlike enabledDevices(), the default output stays in the list in mirror
  // mode: what mirror mode does with it is the engine's decision.
  for (const AudioDeviceInfo& device : supportedDevices()) {
    auto entry = settings_.devices.find(device.uid);
    if (entry == settings_.devices.end() || !entry->second.enabled) continue;
    config.devices.push_back(DeviceConfig{device.uid,
                                          static_cast<float>(entry->second.volume / 100.0),
                                          entry->second.offsetMs, entry->second.offsetUserSet});
  }
  return config;
}

// ---- Engine input -------------------------------------------------------------

void AppModel::devicesChanged(std::vector<AudioDeviceInfo> list) {
  const bool wasEmpty = devices_.empty();
  devices_ = std::move(list);
  observers_.notify(ModelField::devices);

  // On a fresh install the system's current output is switched on.
  if (wasEmpty && settings_.devices.empty()) {
    auto defaultDevice = std::find_if(devices_.begin(), devices_.end(),
                                      [](const AudioDeviceInfo& d) { return d.isDefaultOutput; });
    if (defaultDevice != devices_.end()) {
      const AudioDeviceInfo& device = *defaultDevice;
      changeSettings([&](AppSettings& s) {
        s.devices.insert_or_assign(device.uid, DeviceSettings(true, 100, 0, false, device.name));
      });
      scheduleSave();
    }
  }

  std::set<std::string> present;
  for (const AudioDeviceInfo& device : devices_)
    present.insert(device.uid);
  std::erase_if(lostUIDs_, [&](const auto& entry) { return present.count(entry.first) > 0; });
  observers_.notify(ModelField::lostUIDs);
  std::erase_if(deviceProblems_,
                [&](const auto& entry) { return present.count(entry.first) == 0; });
  observers_.notify(ModelField::deviceProblems);
}

void AppModel::handle(const EngineEvent& event) {
  if (const auto* started = event.as<EngineEvent::Started>()) {
    // A stop that overtook the start wins: the broadcast it announces is
    // already being torn down.
    if (engineState_.is(Kind::off)) return;
    setEngineState(EngineState::running());
    activeUIDs_ = std::set<std::string>(started->active.begin(), started->active.end());
    observers_.notify(ModelField::activeUIDs);
    for (const std::string& uid : started->active) {
      deviceProblems_.erase(uid);
      lostUIDs_.erase(uid);
    }
    observers_.notify(ModelField::deviceProblems);
    observers_.notify(ModelField::lostUIDs);
    setDelays(router_->delayBreakdown());
    startMeters();
  } else if (const auto* stopped = event.as<EngineEvent::Stopped>()) {
    handleStopped(stopped->reason);
  } else if (const auto* lost = event.as<EngineEvent::DeviceLost>()) {
    lostUIDs_.insert_or_assign(lost->uid, lost->name);
    observers_.notify(ModelField::lostUIDs);
  } else if (const auto* skipped = event.as<EngineEvent::DeviceSkipped>()) {
    deviceProblems_.insert_or_assign(skipped->uid, skipped->why);
    observers_.notify(ModelField::deviceProblems);
  } else if (const auto* silent = event.as<EngineEvent::CaptureSilent>()) {
    setCaptureSilent(silent->silent);
  } else if (const auto* error = event.as<EngineEvent::Error>()) {
    setEngineState(EngineState::failed(error->message));
  } else if (event.as<EngineEvent::Rebuilding>() != nullptr) {
    setEngineState(EngineState::rebuilding());
  } else if (event.as<EngineEvent::Overload>() != nullptr) {
    log_.warn("Overload reported to UI");
  }
}

void AppModel::handleStopped(const StopReason& reason) {
  activeUIDs_.clear();
  observers_.notify(ModelField::activeUIDs);
  levels_.clear();
  observers_.notify(ModelField::levels);
  setCaptureSilent(false);
  stopMeters();
  switch (reason.kind()) {
    case StopReason::Kind::user:
      setEngineState(EngineState::off());
      clearLostAndProblems();
      break;
    case StopReason::Kind::sleep:
      setEngineState(EngineState::rebuilding());
      break;
    case StopReason::Kind::noDevices:
      setEngineState(EngineState::failed("No selected device is connected"));
      break;
    case StopReason::Kind::captureBlocked:
      setEngineState(EngineState::off());
      setCaptureBlocked(true);
      break;
    case StopReason::Kind::failed:
      setEngineState(EngineState::failed("Stopped: " + reason.message()));
      break;
    case StopReason::Kind::serviceGone:
      setEngineState(EngineState::failed(reason.message()));
      break;
  }
}

// ---- Meters -------------------------------------------------------------------

void AppModel::startMeters() {
  if (meterTimer_) return;
  meterTimer_ =
      main_.postRepeating(kMeterInterval, kMeterInterval, whileAlive([this] { tickMeters(); }));
}

void AppModel::stopMeters() {
  meterTimer_.cancel();
  meterTimer_ = TaskHandle();
}

void AppModel::tickMeters() {
  const std::map<std::string, float> fresh = router_->levels();
  std::map<std::string, float> next;
  auto meter = [&](const std::string& uid) {
    if (next.count(uid) > 0) return;
    auto f = fresh.find(uid);
    auto l = levels_.find(uid);
    const float incoming = f != fresh.end() ? f->second : 0.0f;
    const float decayed = l != levels_.end() ? l->second * kMeterDecay : 0.0f;
    float value = std::max(decayed, incoming);
    if (value < kMeterFloor) value = 0.0f;
    next.emplace(uid, value);
  };
  for (const auto& [uid, value] : fresh)
    meter(uid);
  for (const auto& [uid, value] : levels_)
    meter(uid);
  // Idle meters (all zero) cause no refresh at all.
  if (next == levels_) return;
  levels_ = std::move(next);
  observers_.notify(ModelField::levels);
}

// ---- Saving -------------------------------------------------------------------

void AppModel::scheduleSave() {
  saveTask_.cancel();
  saveTask_ = main_.postAfter(kSaveDebounce, whileAlive([this, copy = settings_] {
                                saveTask_ = TaskHandle();
                                store_.save(copy);
                              }));
}

void AppModel::shutdown() {
  saveTask_.cancel();
  saveTask_ = TaskHandle();
  store_.save(settings_);
  router_->shutdownSync(kShutdownTimeout);
  // Last: an update waiting for the quit is switched in only once the
  // engine has given the system's output back.
  updater_->applicationWillTerminate();
}

// ---- Sharing ------------------------------------------------------------------

void AppModel::startSharing() {
  if (isSharing()) return;
  if (enabledDevices().empty()) {
    setEngineState(EngineState::failed(settings_.mode == BroadcastMode::mirror
                                           ? "Pick at least one other device to mirror to"
                                           : "Turn on at least one device"));
    return;
  }
  setEngineState(EngineState::starting());
  clearLostAndProblems();
  setCaptureSilent(false);
  setCaptureBlocked(false);
  main_.post(whileAlive([this] {
    // The user may have stopped before this turn of the loop.
    if (!engineState_.is(Kind::starting)) return;
    router_->start(
        broadcastConfig(), onMain([this](std::exception_ptr error) {
          // Success changes nothing here: the started event does.
          if (error) {
            setEngineState(EngineState::failed("Couldn't start: " + describeError(error)));
          }
        }));
  }));
}

void AppModel::stopSharing() {
  setEngineState(EngineState::off());
  // The stopped(user) event that follows clears the rest.
  main_.post(whileAlive([this] { router_->stop([](std::exception_ptr) {}); }));
}

void AppModel::updateEngineIfSharing() {
  if (!isSharing()) return;
  if (enabledDevices().empty()) {
    stopSharing();
  } else {
    router_->update(broadcastConfig());
  }
}

// ---- Edits --------------------------------------------------------------------

void AppModel::setEnabled(const AudioDeviceInfo& device, bool on) {
  DeviceSettings entry = deviceSettings(device.uid);
  entry.enabled = on;
  entry.lastName = device.name;
  changeSettings([&](AppSettings& s) { s.devices.insert_or_assign(device.uid, entry); });
  scheduleSave();
  deviceProblems_.erase(device.uid);
  observers_.notify(ModelField::deviceProblems);
  // A changed selection clears the last error.
  if (engineState_.is(Kind::failed)) setEngineState(EngineState::off());
  updateEngineIfSharing();
}

void AppModel::setVolume(const AudioDeviceInfo& device, double value) {
  DeviceSettings entry = deviceSettings(device.uid);
  if (entry.lastName.empty()) entry.lastName = device.name;
  entry.volume = roundPercent(value);
  changeSettings([&](AppSettings& s) { s.devices.insert_or_assign(device.uid, entry); });
  scheduleSave();
  // No state check: the router ignores a device that is not playing.
  router_->setVolume(device.uid, static_cast<float>(clampPercent(value) / 100.0));
}

void AppModel::setOffset(const AudioDeviceInfo& device, std::int64_t ms) {
  const std::int64_t clamped = std::clamp<std::int64_t>(ms, 0, kMaxOffsetMs);
  DeviceSettings entry = deviceSettings(device.uid);
  if (entry.lastName.empty()) entry.lastName = device.name;
  entry.offsetMs = clamped;
  entry.offsetUserSet = true;
  changeSettings([&](AppSettings& s) { s.devices.insert_or_assign(device.uid, entry); });
  scheduleSave();
  router_->setOffset(device.uid, clamped, true);
  setDelays(router_->delayBreakdown());
}

void AppModel::resetDelays() {
  changeSettings([](AppSettings& s) {
    for (auto& [uid, entry] : s.devices) {
      entry.offsetMs = 0;
      entry.offsetUserSet = false;
    }
  });
  scheduleSave();
  if (isSharing()) router_->update(broadcastConfig());
  setDelays(router_->delayBreakdown());
}

void AppModel::setMasterVolume(double value) {
  changeSettings([&](AppSettings& s) { s.masterVolume = roundPercent(value); });
  scheduleSave();
  router_->setMasterVolume(static_cast<float>(clampPercent(value) / 100.0));
}

void AppModel::setMode(BroadcastMode mode) {
  if (settings_.mode == mode) return;
  changeSettings([&](AppSettings& s) { s.mode = mode; });
  scheduleSave();
  if (engineState_.is(Kind::failed)) setEngineState(EngineState::off());
  // Mirror mode with only the system's own output enabled leaves nothing to
  // broadcast to.
  updateEngineIfSharing();
}

void AppModel::setShowInDock(bool on) {
  changeSettings([&](AppSettings& s) { s.showInDock = on; });
  scheduleSave();
  presence_->setShowInTaskbar(on);
}

void AppModel::setAppearance(AppearanceMode mode) {
  changeSettings([&](AppSettings& s) { s.appearance = mode; });
  scheduleSave();
  applyAppearance();
}

void AppModel::applyAppearance() {
  presence_->setAppearance(settings_.appearance);
}

void AppModel::setLaunchAtLogin(bool on) {
  bool registered = on;
  try {
    if (on) {
      loginItem_->registerItem();
    } else {
      loginItem_->unregisterItem();
    }
  } catch (const std::exception& failure) {
    log_.warn(std::string("Launch at login change failed: ") + failure.what());
    registered = loginItem_->isEnabled();
  }
  changeSettings([&](AppSettings& s) { s.launchAtLogin = registered; });
  scheduleSave();
}

void AppModel::finishOnboarding(bool startSharingNow) {
  changeSettings([](AppSettings& s) { s.onboardingDone = true; });
  scheduleSave();
  setShowOnboarding(false);
  if (startSharingNow) startSharing();
}

// ---- Capture check ------------------------------------------------------------

void AppModel::verifyCapture(std::function<void(bool heard)> done) {
  auto run = std::make_shared<ProbeRun>();
  run->done = std::move(done);
  router_->startCaptureProbe(onMain([this, run](std::exception_ptr error) {
    if (error) {
      log_.warn("Capture probe failed to start: " + describeError(error));
      if (run->done) run->done(false);
      return;
    }
    probeWaitForCallback(run, 0);
  }));
}

void AppModel::probeWaitForCallback(std::shared_ptr<ProbeRun> run, int poll) {
  // A callback that has not run after all polls means capture is blocked;
  // the listening below then confirms it.
  if (poll >= kProbeCallbackPolls || router_->callbackHasRun()) {
    probeListen(std::move(run));
    return;
  }
  main_.postAfter(kProbePollInterval,
                  whileAlive([this, run, poll] { probeWaitForCallback(run, poll + 1); }));
}

void AppModel::probeListen(std::shared_ptr<ProbeRun> run) {
  // Whatever peaked before the check sound does not count.
  (void)router_->inputLevel();
  try {
    captureSound_->play();
  } catch (...) {
    // A sound that cannot play leaves the check to hear silence.
  }
  probeListenStep(std::move(run), 0);
}

void AppModel::probeListenStep(std::shared_ptr<ProbeRun> run, int poll) {
  main_.postAfter(kProbePollInterval, whileAlive([this, run, poll] {
                    run->peak = std::max(run->peak, router_->inputLevel());
                    if (run->peak > kProbeSoundThreshold || poll + 1 >= kProbeListenPolls) {
                      probeFinish(run);
                    } else {
                      probeListenStep(run, poll + 1);
                    }
                  }));
}

void AppModel::probeFinish(std::shared_ptr<ProbeRun> run) {
  run->ran = router_->callbackHasRun();
  router_->stopCaptureProbe(onMain([this, run](std::exception_ptr) {
    const bool heard = run->peak > kProbeSoundThreshold;
    const char* outcome = !run->ran ? "blocked (callback never ran)"
                          : heard   ? "sound detected"
                                    : "silence";
    log_.info(std::string("Capture probe: ") + outcome);
    if (run->done) run->done(run->ran && heard);
  }));
}

}  // namespace choralink

// How the router keeps a broadcast alive: the rebuild procedure, teardown,
// the reaction to device changes, the per-session listeners, the heartbeat
// watchdog, the limit on automatic rebuilds, sleep and wake, failure and
// shutdown. Everything here runs on the router's queue.
#include <algorithm>
#include <exception>
#include <utility>

#include "engine/control/audio_router_impl.h"
#include "engine/hal/hal.h"

namespace choralink {

namespace {

std::string joinNames(const std::vector<AudioDeviceInfo>& devices) {
  std::string text;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (i > 0) text += ", ";
    text += devices[i].name;
  }
  return text;
}

std::string describeError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

void AudioRouter::Impl::rebuild(const std::string& reason) {
  rebuildWork.cancel();

  const bool broadcastWasRunning = session != nullptr && !probeRunning();
  if (broadcastWasRunning) send(EngineEvent::rebuilding());
  teardown();

  const BroadcastConfig config = currentConfig();
  const bool mirror = config.mode == BroadcastMode::mirror;
  std::map<std::string, const AudioDeviceInfo*> present;
  for (const AudioDeviceInfo& device : catalog->devices())
    present.emplace(device.uid, &device);
  std::vector<AudioDeviceInfo> chosen;
  for (const DeviceConfig& wanted : config.devices) {
    const auto found = present.find(wanted.uid);
    if (found == present.end()) continue;
    const AudioDeviceInfo& device = *found->second;
    if (device.supportStatus != SupportStatus::supported) continue;
    if (mirror && device.isDefaultOutput) continue;
    // One aggregate entry per device, even if the configuration lists it twice.
    const bool taken = std::any_of(chosen.begin(), chosen.end(),
                                   [&](const AudioDeviceInfo& d) { return d.uid == device.uid; });
    if (!taken) chosen.push_back(device);
  }
  if (chosen.empty()) {
    wantRunning = false;
    send(EngineEvent::stopped(StopReason::noDevices()));
    return;
  }

  log.info("Broadcast " + std::string(broadcastWasRunning ? "rebuild" : "start") + " (" + reason +
           "), mode=" + std::string(rawValue(config.mode)) + ": " + joinNames(chosen));

  auto created = std::make_unique<BroadcastSession>(sessionEnvironment(), chosen, !mirror);

  {
    std::lock_guard lock(liveMutex);
    live.render = created->render();
    live.slots.clear();
    live.devices.clear();
    for (const SlotInfo& slot : created->slots()) {
      live.slots[slot.uid] = slot.index;
      live.devices[slot.uid] = slot.device;
    }
    live.rate = created->rate();
    live.maxDelay = created->maxDelayFrames();
    // Gains and delays are in place before the first audio cycle.
    applyParametersLocked();
  }

  if (const auto proc = created->procID()) {
    const HALStatus status = system.startDevice(created->aggregateID(), *proc);
    if (status != kStatusOK) {
      {
        std::lock_guard lock(liveMutex);
        clearLiveLocked();
      }
      created->teardown();
      throw HALError(status, "AudioDeviceStart");
    }
  }

  session = std::move(created);
  sessionStartedAt = queue.now();
  for (const SkippedDevice& skipped : session->skipped()) {
    send(EngineEvent::deviceSkipped(skipped.uid, skipped.why));
  }
  watchDevices();
  startWatchdog();
  std::vector<std::string> active;
  for (const SlotInfo& slot : session->slots())
    active.push_back(slot.uid);
  send(EngineEvent::started(std::move(active)));
}

void AudioRouter::Impl::scheduleRebuild(const std::string& reason) {
  rebuildWork.cancel();
  rebuildWork = later(kRebuildDelay, [reason](Impl& self) {
    if (!self.wantRunning || self.sleeping) return;
    try {
      self.rebuild(reason);
    } catch (...) {
      self.fail(describeError(std::current_exception()));
    }
  });
}

void AudioRouter::Impl::teardown() {
  watchdog.cancel();
  watchdog = {};
  // A refused registration is inactive and remove() leaves it alone.
  for (PropertyListener& listener : aliveListeners)
    listener.remove();
  aliveListeners.clear();
  if (overloadListener) overloadListener->remove();
  overloadListener.reset();

  if (!session) return;
  {
    std::lock_guard lock(liveMutex);
    clearLiveLocked();
  }
  session->teardown();
  session.reset();
  {
    // The render state that could read them is gone.
    std::lock_guard lock(liveMutex);
    measurementSignals.clear();
  }
  sessionStartedAt.reset();
  if (silentReported) send(EngineEvent::captureSilent(false));
  silentReported = false;
}

void AudioRouter::Impl::devicesChanged(const std::vector<AudioDeviceInfo>& devices) {
  snapshots.send(devices);

  std::set<std::string> present;
  for (const AudioDeviceInfo& device : devices)
    present.insert(device.uid);
  std::set<std::string> appeared;
  std::set_difference(present.begin(), present.end(), previousPresent.begin(),
                      previousPresent.end(), std::inserter(appeared, appeared.end()));
  previousPresent = present;

  std::optional<std::string> defaultUID;
  const auto defaultDevice = std::find_if(
      devices.begin(), devices.end(), [](const AudioDeviceInfo& d) { return d.isDefaultOutput; });
  if (defaultDevice != devices.end()) defaultUID = defaultDevice->uid;
  const bool defaultChanged = defaultUID != lastDefaultUID;
  lastDefaultUID = defaultUID;

  if (!session || !wantRunning || sleeping || probeRunning()) return;

  std::vector<const SlotInfo*> lost;
  for (const SlotInfo& slot : session->slots()) {
    if (present.count(slot.uid) == 0) lost.push_back(&slot);
  }

  const BroadcastConfig config = currentConfig();
  const bool mirror = config.mode == BroadcastMode::mirror;
  std::vector<AudioDeviceInfo> returned;
  for (const AudioDeviceInfo& device : devices) {
    if (appeared.count(device.uid) == 0) continue;
    if (device.supportStatus != SupportStatus::supported) continue;
    const bool hasSlot = std::any_of(session->slots().begin(), session->slots().end(),
                                     [&](const SlotInfo& slot) { return slot.uid == device.uid; });
    if (hasSlot) continue;
    const bool configured =
        std::any_of(config.devices.begin(), config.devices.end(),
                    [&](const DeviceConfig& wanted) { return wanted.uid == device.uid; });
    if (!configured) continue;
    if (mirror && device.isDefaultOutput) continue;
    returned.push_back(device);
  }

  if (!lost.empty()) {
    if (!allowAutomaticRebuild()) return;
    for (const SlotInfo* slot : lost) {
      log.warn("Active device vanished: " + slot->device.name);
      send(EngineEvent::deviceLost(slot->uid, slot->device.name));
    }
    scheduleRebuild("device lost");
  } else if (mirror && defaultChanged) {
    if (!allowAutomaticRebuild()) return;
    log.info("Mirror mode: default output changed; rebuilding");
    scheduleRebuild("default output changed");
  } else if (!returned.empty()) {
    if (!allowAutomaticRebuild()) return;
    log.info("Device(s) came back: " + joinNames(returned));
    scheduleRebuild("device returned");
  }
}

bool AudioRouter::Impl::allowAutomaticRebuild() {
  const double now = queue.now();
  std::erase_if(automaticRebuilds,
                [now](double when) { return when <= now - kAutomaticRebuildWindow; });
  automaticRebuilds.push_back(now);
  if (automaticRebuilds.size() > kAutomaticRebuildsPerWindow) {
    fail(kDevicesKeptChanging);
    return false;
  }
  return true;
}

void AudioRouter::Impl::watchDevices() {
  std::weak_ptr<Impl> weak = weak_from_this();
  for (const SlotInfo& slot : session->slots()) {
    aliveListeners.emplace_back(system, slot.device.objectID, kPropDeviceIsAlive, kScopeGlobal,
                                queue, [weak] {
                                  // The catalog's debounced re-read tells us what changed.
                                  if (auto self = weak.lock()) self->catalog->scheduleRefresh();
                                });
  }
  overloadListener.emplace(system, session->aggregateID(), kPropProcessorOverload, kScopeGlobal,
                           queue, [weak] {
                             auto self = weak.lock();
                             if (!self) return;
                             self->log.warn("Audio processor overload");
                             self->send(EngineEvent::overload());
                           });
}

void AudioRouter::Impl::startWatchdog() {
  lastHeartbeat = 0;
  stalledSince.reset();
  std::weak_ptr<Impl> weak = weak_from_this();
  watchdog = queue.postRepeating(kWatchdogPeriod, kWatchdogPeriod, [weak] {
    if (auto self = weak.lock()) self->watchdogTick();
  });
}

void AudioRouter::Impl::watchdogTick() {
  if (!session) return;
  const std::uint64_t hb = cl_render_heartbeat(session->render());
  const double now = queue.now();

  if (hb != lastHeartbeat) {
    lastHeartbeat = hb;
    stalledSince.reset();
    everRanSinceStart = true;
    if (sessionStartedAt && now - *sessionStartedAt > kAttemptsReset) rebuildAttempts = 0;
  } else if (!stalledSince) {
    stalledSince = now;
  } else if (now - *stalledSince > (hb == 0 ? kStallLimitNeverRan : kStallLimitRan)) {
    std::uint32_t running = 0;
    try {
      running = HAL::get<std::uint32_t>(system, session->aggregateID(), kPropIsRunningSomewhere,
                                        kScopeGlobal);
    } catch (const HALError&) {
      running = 0;
    }
    std::string devices;
    for (const SlotInfo& slot : session->slots()) {
      if (!devices.empty()) devices += ", ";
      devices += slot.device.name + " " + Log::number(slot.device.nominalRate) + " Hz";
    }
    log.warn("Watchdog: IOProc stalled (heartbeat " + std::to_string(hb) +
             ", aggregate running=" + std::to_string(running) + ", devices: " + devices + ")");
    const int n = ++rebuildAttempts;

    if (!everRanSinceStart && (n > kWatchdogAttempts || (running == 0 && n > 1))) {
      log.error("Broadcast failed: audio callback never ran (capture permission likely missing)");
      wantRunning = false;
      teardown();
      send(EngineEvent::stopped(StopReason::captureBlocked()));
      return;
    }
    if (everRanSinceStart && n > kWatchdogAttempts) {
      fail(kAudioStoppedMessage);
      return;
    }
    const double delay = kWatchdogRestartStep * n;
    log.warn("Watchdog: rebuilding in " + Log::number(delay) + " s (try " + std::to_string(n) +
             ")");
    teardown();
    send(EngineEvent::rebuilding());
    // Not rebuildWork: a scheduled rebuild does not cancel this restart, and
    // one that runs first leaves it nothing to do (a session exists again).
    later(delay, [](Impl& self) {
      if (!self.wantRunning || self.sleeping || self.session) return;
      self.catalog->refreshNow();
      try {
        self.rebuild("watchdog");
      } catch (...) {
        self.fail(describeError(std::current_exception()));
      }
    });
    return;
  }

  const double rate = session->rate();
  const double silent =
      rate > 0 ? static_cast<double>(cl_render_silent_frames(session->render())) / rate : 0.0;
  if (silent > kSilenceReport && !silentReported) {
    silentReported = true;
    send(EngineEvent::captureSilent(true));
  } else if (silent < kSilenceCleared && silentReported) {
    silentReported = false;
    send(EngineEvent::captureSilent(false));
  }
}

void AudioRouter::Impl::fail(const std::string& message) {
  log.error("Broadcast failed: " + message);
  // A rebuild or restart can fail because the server has just gone, before
  // its notice is handled: the user hears of that loss, not of a failure.
  if (serviceAlive() == false) {
    endForServiceLoss();
    return;
  }
  wantRunning = false;
  teardown();
  send(EngineEvent::stopped(StopReason::failed(message)));
}

// Without its sound server nothing can play and every rebuild would fail
// one by one, device by device, for seconds: the broadcast ends now, and the
// user hears why. A server that does not say (no such property) is alive.
void AudioRouter::Impl::serviceChanged() {
  const std::optional<bool> alive = serviceAlive();
  if (!alive) return;
  if (*alive) {
    log.info("The sound server is back");
    catalog->scheduleRefresh();
    return;
  }
  endForServiceLoss();
}

std::optional<bool> AudioRouter::Impl::serviceAlive() {
  try {
    return HAL::get<std::uint32_t>(system, kSystemObject, kPropServiceIsAlive, kScopeGlobal, 1) !=
           0;
  } catch (const HALError&) {
    return std::nullopt;
  }
}

void AudioRouter::Impl::endForServiceLoss() {
  const bool broadcasting = wantRunning || (session && !probeRunning());
  log.error(std::string(kSoundServerStoppedMessage) + (broadcasting ? "; broadcast ended" : ""));
  wantRunning = false;
  resumeAfterWake = false;
  rebuildWork.cancel();
  wakeWork.cancel();
  teardown();
  if (broadcasting) send(EngineEvent::stopped(StopReason::serviceGone()));
}

void AudioRouter::Impl::willSleep() {
  sleeping = true;
  rebuildWork.cancel();
  // A wake that has not restarted yet is overtaken by this sleep; the next
  // wake schedules its own restart.
  wakeWork.cancel();
  resumeAfterWake = resumeAfterWake || wantRunning;
  if (!session) return;
  const bool probe = probeRunning();
  log.info(std::string("Sleep: stopping ") + (probe ? "capture probe" : "broadcast"));
  teardown();
  if (!probe) send(EngineEvent::stopped(StopReason::sleep()));
}

void AudioRouter::Impl::didWake(double due) {
  wakeWork.cancel();
  wakeWork = later(due - queue.now(), [](Impl& self) {
    self.sleeping = false;
    if (!self.resumeAfterWake) return;
    self.resumeAfterWake = false;
    if (!self.wantRunning || self.session) return;
    self.catalog->refreshNow();
    self.log.info("Wake: restarting broadcast");
    try {
      self.rebuild("wake");
    } catch (...) {
      self.fail("Couldn't restart after sleep: " + describeError(std::current_exception()));
    }
  });
}

void AudioRouter::Impl::shutdownStep() {
  wantRunning = false;
  teardown();
  if (serviceListener) serviceListener->remove();
  catalog->stop();
}

void AudioRouter::Impl::finalCleanup() noexcept {
  wantRunning = false;
  rebuildWork.cancel();
  wakeWork.cancel();
  try {
    teardown();
    if (serviceListener) serviceListener->remove();
    catalog->stop();
  } catch (...) {
    // Out of memory while ending: nothing more can be done here.
  }
}

}  // namespace choralink

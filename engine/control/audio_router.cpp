#include "engine/control/audio_router.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <set>
#include <utility>

#include "engine/control/audio_router_impl.h"
#include "engine/devices/laptop_detection.h"
#include "engine/graph/broadcast_session.h"
#include "engine/graph/rate_journal.h"
#include "support/paths.h"

namespace choralink {

namespace {

// Turns a completion-style step into a future.
std::future<void> futureOf(const std::function<void(RouterCompletion)>& operation) {
  auto promise = std::make_shared<std::promise<void>>();
  std::future<void> result = promise->get_future();
  operation([promise](std::exception_ptr error) {
    if (error) {
      promise->set_exception(error);
    } else {
      promise->set_value();
    }
  });
  return result;
}

std::set<std::string> uidSet(const std::vector<DeviceConfig>& devices) {
  std::set<std::string> uids;
  for (const DeviceConfig& device : devices)
    uids.insert(device.uid);
  return uids;
}

}  // namespace

float clampVolume(float volume) {
  if (std::isnan(volume)) return 0.0f;
  return std::clamp(volume, 0.0f, 1.0f);
}

std::int64_t clampOffset(std::int64_t ms) {
  return std::clamp<std::int64_t>(ms, 0, AudioRouter::kMaxOffsetMs);
}

BroadcastConfig clampedConfig(BroadcastConfig config) {
  for (DeviceConfig& device : config.devices) {
    device.volume = clampVolume(device.volume);
    device.offsetMs = clampOffset(device.offsetMs);
  }
  config.masterVolume = clampVolume(config.masterVolume);
  return config;
}

// ---------------------------------------------------------------------------
// Impl: queue plumbing and the parameter path

AudioRouter::Impl::Impl(AudioSystem& system, Executor& queue, Log& log,
                        std::filesystem::path rateJournal, bool isLaptop)
    : system(system),
      queue(queue),
      log(log),
      rateJournal(std::move(rateJournal)),
      catalog(DeviceCatalog::create(system, queue, log, isLaptop)) {}

void AudioRouter::Impl::onQueue(std::function<void(Impl&)> step, RouterCompletion done) {
  std::weak_ptr<Impl> weak = weak_from_this();
  queue.post([weak, step = std::move(step), done = std::move(done)] {
    std::exception_ptr error;
    {
      auto self = weak.lock();
      if (!self) return;
      try {
        step(*self);
      } catch (...) {
        error = std::current_exception();
      }
    }
    if (done) done(error);
  });
}

TaskHandle AudioRouter::Impl::later(double delay, std::function<void(Impl&)> work) {
  std::weak_ptr<Impl> weak = weak_from_this();
  return queue.postAfter(delay, [weak, work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

bool AudioRouter::Impl::probeRunning() {
  std::lock_guard lock(liveMutex);
  return live.probe;
}

BroadcastConfig AudioRouter::Impl::currentConfig() {
  std::lock_guard lock(liveMutex);
  return live.config;
}

BroadcastSession::Environment AudioRouter::Impl::sessionEnvironment() {
  return BroadcastSession::Environment{system, queue, log, rateJournal};
}

std::map<std::string, LatencyModel::Output> AudioRouter::Impl::computeDelaysLocked() const {
  std::vector<LatencyModel::Input> inputs;
  std::set<std::string> seen;
  for (const DeviceConfig& device : live.config.devices) {
    // A device listed twice counts once, with its first entry (the one the
    // parameter calls change).
    if (!seen.insert(device.uid).second) continue;
    const auto info = live.devices.find(device.uid);
    if (info == live.devices.end() || live.slots.count(device.uid) == 0) continue;
    inputs.push_back(LatencyModel::Input{device.uid, info->second.latencyFrames,
                                         info->second.nominalRate, device.offsetMs});
  }
  return LatencyModel::compute(inputs, live.rate, live.maxDelay);
}

void AudioRouter::Impl::applyParametersLocked() {
  if (live.render == nullptr || live.probe) return;
  const auto delays = computeDelaysLocked();
  std::set<std::string> seen;
  for (const DeviceConfig& device : live.config.devices) {
    if (!seen.insert(device.uid).second) continue;
    const auto slot = live.slots.find(device.uid);
    if (slot == live.slots.end()) continue;
    cl_render_set_gain(live.render, slot->second, live.config.masterVolume * device.volume);
    const auto delay = delays.find(device.uid);
    const std::int64_t frames = delay == delays.end() ? 0 : delay->second.totalFrames;
    // totalFrames never exceeds maxDelay, an int32.
    cl_render_set_delay_frames(live.render, slot->second, static_cast<std::int32_t>(frames));
  }
}

void AudioRouter::Impl::clearLiveLocked() {
  live.render = nullptr;
  live.slots.clear();
  live.probe = false;
  measuredRender = nullptr;
}

// ---------------------------------------------------------------------------
// Impl: construction, start, stop

void AudioRouter::Impl::initialize() {
  catalog->setOnChange([weak = weak_from_this()](const std::vector<AudioDeviceInfo>& devices) {
    if (auto self = weak.lock()) self->devicesChanged(devices);
  });
  onQueue(
      [](Impl& self) {
        RateJournal::restoreAll(self.system, self.log, self.rateJournal);
        BroadcastSession::destroyLeftoverAggregates(self.system, self.log);
        self.serviceListener.emplace(self.system, kSystemObject, kPropServiceIsAlive, kScopeGlobal,
                                     self.queue, [weak = self.weak_from_this()] {
                                       if (auto router = weak.lock()) router->serviceChanged();
                                     });
        self.catalog->start();
        self.snapshots.send(self.catalog->devices());
      },
      {});
}

void AudioRouter::Impl::startStep() {
  wantRunning = true;
  rebuildAttempts = 0;
  everRanSinceStart = false;
  automaticRebuilds.clear();
  catalog->refreshNow();
  try {
    rebuild("start");
  } catch (...) {
    wantRunning = false;
    throw;
  }
}

void AudioRouter::Impl::stopStep() {
  wantRunning = false;
  resumeAfterWake = false;
  rebuildWork.cancel();
  teardown();
  send(EngineEvent::stopped(StopReason::user()));
}

// ---------------------------------------------------------------------------
// AudioRouter

AudioRouter::AudioRouter(Environment environment) {
  Executor* queue = environment.queue;
  if (queue == nullptr) {
    ownQueue_ = std::make_unique<SerialQueue>(kQueueLabel);
    queue = ownQueue_.get();
  }
  Log& log = environment.log != nullptr ? *environment.log : Log::shared();
  const bool laptop = environment.isLaptop.value_or(isLaptop());
  std::filesystem::path journal =
      environment.rateJournal ? *environment.rateJournal : Paths::rateRestoreFile();
  impl_ = std::make_shared<Impl>(environment.system, *queue, log, std::move(journal), laptop);
  impl_->initialize();
}

AudioRouter::~AudioRouter() {
  assert(!impl_->queue.isCurrent() && "the router cannot be destroyed by its own task");
  // Our own queue finishes the step it runs and drops the rest; after that no
  // other thread touches the router's state.
  if (ownQueue_) ownQueue_->shutdown();
  impl_->finalCleanup();
  impl_->snapshots.finish();
  impl_->events.finish();
  impl_.reset();
  ownQueue_.reset();
}

Executor& AudioRouter::queue() {
  return impl_->queue;
}

BoundedStream<std::vector<AudioDeviceInfo>>& AudioRouter::deviceSnapshots() {
  return impl_->snapshots;
}

BoundedStream<EngineEvent>& AudioRouter::events() {
  return impl_->events;
}

bool AudioRouter::isRunning() {
  std::lock_guard lock(impl_->liveMutex);
  return impl_->live.render != nullptr && !impl_->live.probe;
}

void AudioRouter::start(const BroadcastConfig& config, RouterCompletion done) {
  {
    std::lock_guard lock(impl_->liveMutex);
    impl_->live.config = clampedConfig(config);
  }
  impl_->onQueue([](Impl& self) { self.startStep(); }, std::move(done));
}

std::future<void> AudioRouter::start(const BroadcastConfig& config) {
  return futureOf([&](RouterCompletion done) { start(config, std::move(done)); });
}

void AudioRouter::stop(RouterCompletion done) {
  impl_->onQueue([](Impl& self) { self.stopStep(); }, std::move(done));
}

std::future<void> AudioRouter::stop() {
  return futureOf([&](RouterCompletion done) { stop(std::move(done)); });
}

void AudioRouter::update(const BroadcastConfig& config) {
  {
    std::lock_guard lock(impl_->liveMutex);
    const BroadcastMode oldMode = impl_->live.config.mode;
    const std::set<std::string> oldUIDs = uidSet(impl_->live.config.devices);
    impl_->live.config = clampedConfig(config);
    if (oldMode == impl_->live.config.mode && oldUIDs == uidSet(impl_->live.config.devices)) {
      impl_->applyParametersLocked();
      return;
    }
  }
  impl_->onQueue(
      [](Impl& self) {
        if (self.wantRunning) self.scheduleRebuild("devices changed");
      },
      {});
}

void AudioRouter::setVolume(const std::string& uid, float volume) {
  {
    std::lock_guard lock(impl_->liveMutex);
    auto& devices = impl_->live.config.devices;
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const DeviceConfig& d) { return d.uid == uid; });
    if (it != devices.end()) it->volume = clampVolume(volume);
  }
  std::lock_guard lock(impl_->liveMutex);
  impl_->applyParametersLocked();
}

void AudioRouter::setOffset(const std::string& uid, std::int64_t ms, bool userSet) {
  {
    std::lock_guard lock(impl_->liveMutex);
    auto& devices = impl_->live.config.devices;
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const DeviceConfig& d) { return d.uid == uid; });
    if (it != devices.end()) {
      it->offsetMs = clampOffset(ms);
      it->offsetUserSet = userSet;
    }
  }
  std::lock_guard lock(impl_->liveMutex);
  impl_->applyParametersLocked();
}

void AudioRouter::setMasterVolume(float volume) {
  {
    std::lock_guard lock(impl_->liveMutex);
    impl_->live.config.masterVolume = clampVolume(volume);
  }
  std::lock_guard lock(impl_->liveMutex);
  impl_->applyParametersLocked();
}

BroadcastConfig AudioRouter::config() {
  return impl_->currentConfig();
}

std::map<std::string, float> AudioRouter::levels() {
  std::lock_guard lock(impl_->liveMutex);
  std::map<std::string, float> out;
  if (impl_->live.render == nullptr) return out;
  for (const auto& [uid, slot] : impl_->live.slots) {
    out[uid] = cl_render_take_peak(impl_->live.render, slot);
  }
  return out;
}

float AudioRouter::inputLevel() {
  std::lock_guard lock(impl_->liveMutex);
  return impl_->live.render == nullptr ? 0.0f : cl_render_take_input_peak(impl_->live.render);
}

std::uint64_t AudioRouter::heartbeat() {
  std::lock_guard lock(impl_->liveMutex);
  return impl_->live.render == nullptr ? 0 : cl_render_heartbeat(impl_->live.render);
}

bool AudioRouter::callbackHasRun() {
  return heartbeat() != 0;
}

void AudioRouter::playTestTone() {
  std::lock_guard lock(impl_->liveMutex);
  if (impl_->live.render != nullptr) cl_render_trigger_test_tone(impl_->live.render);
}

std::map<std::string, LatencyModel::Output> AudioRouter::delayBreakdown() {
  std::lock_guard lock(impl_->liveMutex);
  return impl_->computeDelaysLocked();
}

void AudioRouter::startCaptureProbe(RouterCompletion done) {
  impl_->onQueue([](Impl& self) { self.startProbeStep(); }, std::move(done));
}

std::future<void> AudioRouter::startCaptureProbe() {
  return futureOf([&](RouterCompletion done) { startCaptureProbe(std::move(done)); });
}

void AudioRouter::stopCaptureProbe(RouterCompletion done) {
  impl_->onQueue([](Impl& self) { self.stopProbeStep(); }, std::move(done));
}

std::future<void> AudioRouter::stopCaptureProbe() {
  return futureOf([&](RouterCompletion done) { stopCaptureProbe(std::move(done)); });
}

void AudioRouter::systemWillSleep() {
  impl_->onQueue([](Impl& self) { self.willSleep(); }, {});
}

void AudioRouter::systemDidWake() {
  // The restart waits 2 s from the wake itself, however busy the queue is.
  const double due = impl_->queue.now() + kWakeDelay;
  impl_->onQueue([due](Impl& self) { self.didWake(due); }, {});
}

void AudioRouter::shutdown(RouterCompletion done) {
  impl_->onQueue([](Impl& self) { self.shutdownStep(); }, std::move(done));
}

std::future<void> AudioRouter::shutdown() {
  return futureOf([&](RouterCompletion done) { shutdown(std::move(done)); });
}

void AudioRouter::shutdownSync(double timeoutSeconds) {
  if (impl_->queue.isCurrent()) {
    // Waiting for our own queue from inside it could never end.
    impl_->wantRunning = false;
    impl_->rebuildWork.cancel();
    impl_->shutdownStep();
    return;
  }
  struct Signal {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto signal = std::make_shared<Signal>();
  impl_->onQueue(
      [](Impl& self) {
        self.wantRunning = false;
        self.rebuildWork.cancel();
        self.shutdownStep();
      },
      [signal](std::exception_ptr) {
        std::lock_guard lock(signal->mutex);
        signal->done = true;
        signal->cv.notify_all();
      });
  // Bounded so the wait converts to the clock's nanoseconds without overflow.
  constexpr double kLongestWait = 1e6;
  const double wait =
      std::isnan(timeoutSeconds) ? 0.0 : std::clamp(timeoutSeconds, 0.0, kLongestWait);
  std::unique_lock lock(signal->mutex);
  const bool finished = signal->cv.wait_for(
      lock,
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(wait)),
      [&] { return signal->done; });
  if (!finished) {
    impl_->log.warn("Shutdown: engine teardown did not finish within " +
                    Log::number(timeoutSeconds) + " s");
  }
}

}  // namespace choralink

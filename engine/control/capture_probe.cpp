// The capture probe: a broadcast session on one output device with every
// output silenced, so the tap runs and the render state counts heartbeats
// and measures the captured level while nothing of the probe is heard. The
// application polls callbackHasRun() and inputLevel() and ends it with
// stopCaptureProbe(). A running or wanted broadcast is never disturbed.
#include <algorithm>

#include "engine/control/audio_router_impl.h"
#include "engine/hal/hal_error.h"

namespace choralink {

namespace {

// Built-in output first, then any device that is not Bluetooth, Bluetooth
// last: a Bluetooth device is the slowest to join an aggregate device.
const AudioDeviceInfo* probeDevice(const std::vector<const AudioDeviceInfo*>& candidates) {
  const auto builtIn = std::find_if(candidates.begin(), candidates.end(), [](const auto* d) {
    return d->transport == Transport::builtIn;
  });
  if (builtIn != candidates.end()) return *builtIn;
  const auto wired = std::find_if(candidates.begin(), candidates.end(),
                                  [](const auto* d) { return !isBluetooth(d->transport); });
  if (wired != candidates.end()) return *wired;
  return candidates.empty() ? nullptr : candidates.front();
}

}  // namespace

void AudioRouter::Impl::startProbeStep() {
  if (session || wantRunning) return;
  catalog->refreshNow();

  std::vector<const AudioDeviceInfo*> candidates;
  for (const AudioDeviceInfo& device : catalog->devices()) {
    if (device.supportStatus == SupportStatus::supported) candidates.push_back(&device);
  }
  const AudioDeviceInfo* device = probeDevice(candidates);
  if (device == nullptr) throw HALError(-1, "No output device");

  // The system output keeps playing normally: the probe only listens.
  auto probe = std::make_unique<BroadcastSession>(sessionEnvironment(),
                                                  std::vector<AudioDeviceInfo>{*device}, false);
  {
    std::lock_guard lock(liveMutex);
    live.probe = true;
    live.render = probe->render();
    live.slots.clear();
    for (const SlotInfo& slot : probe->slots()) {
      live.slots[slot.uid] = slot.index;
      cl_render_set_enabled(probe->render(), slot.index, 0);
    }
    live.devices.clear();
  }

  if (const auto proc = probe->procID()) {
    const HALStatus status = system.startDevice(probe->aggregateID(), *proc);
    if (status != kStatusOK) {
      {
        std::lock_guard lock(liveMutex);
        clearLiveLocked();
      }
      probe->teardown();
      throw HALError(status, "AudioDeviceStart");
    }
  }
  session = std::move(probe);
}

void AudioRouter::Impl::stopProbeStep() {
  if (probeRunning()) teardown();
}

}  // namespace choralink

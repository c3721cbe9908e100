// The router's part of a measurement: a signal played through the running
// broadcast's render slots, one device at a time, beside the program.
#include <algorithm>
#include <cmath>

#include "engine/control/audio_router_impl.h"
#include "render/cl_render.h"

namespace choralink {

std::optional<AudioRouter::MeasurementView> AudioRouter::measurementView() {
  std::lock_guard lock(impl_->liveMutex);
  const Impl::Live& live = impl_->live;
  if (live.render == nullptr || live.probe) return std::nullopt;
  MeasurementView view;
  view.rate = live.rate;
  const auto delays = impl_->computeDelaysLocked();
  for (const auto& [uid, slot] : live.slots) {
    const auto delay = delays.find(uid);
    std::int64_t latency = 0;
    if (const auto info = live.devices.find(uid); info != live.devices.end()) {
      const AudioDeviceInfo& device = info->second;
      latency = device.nominalRate > 0
                    ? std::llround(live.rate * device.latencyFrames / device.nominalRate)
                    : device.latencyFrames;
    }
    view.devices.push_back(MeasuredDevice{
        uid, delay == delays.end() ? 0 : static_cast<std::int32_t>(delay->second.totalFrames),
        latency});
  }
  std::sort(view.devices.begin(), view.devices.end(), [&](const auto& a, const auto& b) {
    return live.slots.at(a.uid) < live.slots.at(b.uid);
  });
  return view;
}

bool AudioRouter::startMeasurementSignal(std::shared_ptr<const std::vector<float>> signal,
                                         const std::vector<std::string>& uids,
                                         std::int32_t leadFrames, std::int32_t spacingFrames) {
  std::lock_guard lock(impl_->liveMutex);
  Impl::Live& live = impl_->live;
  if (live.render == nullptr || live.probe || !signal || uids.size() > CL_MAX_SLOTS) return false;
  std::vector<std::int32_t> slots;
  for (const std::string& uid : uids) {
    const auto slot = live.slots.find(uid);
    if (slot == live.slots.end()) return false;
    slots.push_back(slot->second);
  }
  cl_render_start_probe(live.render, signal->data(), static_cast<std::int32_t>(signal->size()),
                        slots.data(), static_cast<std::int32_t>(slots.size()), leadFrames,
                        spacingFrames);
  impl_->measuredRender = live.render;
  if (std::find(impl_->measurementSignals.begin(), impl_->measurementSignals.end(), signal) ==
      impl_->measurementSignals.end()) {
    impl_->measurementSignals.push_back(std::move(signal));
  }
  return true;
}

std::optional<std::int64_t> AudioRouter::measurementPosition() {
  std::lock_guard lock(impl_->liveMutex);
  if (impl_->measuredRender == nullptr || impl_->measuredRender != impl_->live.render) {
    return std::nullopt;
  }
  const std::int64_t position = cl_render_probe_position(impl_->measuredRender);
  return std::max<std::int64_t>(position, 0);
}

void AudioRouter::endMeasurementSignal() {
  std::lock_guard lock(impl_->liveMutex);
  if (impl_->measuredRender != nullptr && impl_->measuredRender == impl_->live.render) {
    cl_render_end_probe(impl_->measuredRender);
  }
  impl_->measuredRender = nullptr;
}

}  // namespace choralink

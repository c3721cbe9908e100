#include "engine/calibration/input_devices.h"

#include <numeric>

#include "engine/devices/device_lookup.h"
#include "engine/hal/hal.h"

namespace choralink {

namespace {

template <class T>
T readOr(AudioSystem& system, AudioObjectID id, std::uint32_t selector, std::uint32_t scope,
         T fallback) {
  try {
    return HAL::get<T>(system, id, selector, scope, fallback);
  } catch (const HALError&) {
    return fallback;
  }
}

}  // namespace

std::vector<InputDeviceInfo> listInputDevices(AudioSystem& system) {
  std::vector<InputDeviceInfo> inputs;
  for (AudioObjectID id : listDevices(system).value_or(std::vector<AudioObjectID>{})) {
    const std::vector<int> streams = HAL::streamChannels(system, id, kScopeInput);
    const int channels = std::accumulate(streams.begin(), streams.end(), 0);
    if (channels <= 0) continue;
    if (readOr<std::uint32_t>(system, id, kPropDeviceIsAlive, kScopeGlobal, 1) == 0) continue;
    if (readOr<std::uint32_t>(system, id, kPropIsHidden, kScopeGlobal, 0) != 0) continue;
    // An aggregate device's inputs are its members' (and our broadcast's
    // captured system audio): not a microphone of its own.
    const auto transport = readOr<std::uint32_t>(system, id, kPropTransportType, kScopeGlobal, 0);
    if (transport == kTransportAggregate || transport == kTransportAutoAggregate) continue;
    InputDeviceInfo info;
    info.id = id;
    try {
      info.uid = HAL::getString(system, id, kPropDeviceUID);
    } catch (const HALError&) {
      continue;
    }
    try {
      info.name = HAL::getString(system, id, kPropName);
    } catch (const HALError&) {
    }
    if (info.name.empty()) info.name = info.uid;
    info.channels = static_cast<std::uint32_t>(channels);
    info.latencyFrames = readOr<std::uint32_t>(system, id, kPropLatency, kScopeInput, 0) +
                         readOr<std::uint32_t>(system, id, kPropSafetyOffset, kScopeInput, 0);
    info.nominalRate = readOr<double>(system, id, kPropNominalSampleRate, kScopeGlobal, 0.0);
    inputs.push_back(std::move(info));
  }
  return inputs;
}

}  // namespace choralink

#include "engine/devices/device_lookup.h"

#include "engine/hal/hal.h"

namespace choralink {

std::optional<std::vector<AudioObjectID>> listDevices(AudioSystem& system) {
  try {
    return HAL::getArray<std::uint32_t>(system, kSystemObject, kPropDevices, kScopeGlobal);
  } catch (const HALError&) {
    return std::nullopt;
  }
}

std::optional<AudioObjectID> findDevice(AudioSystem& system, std::string_view uid) {
  const auto devices = listDevices(system);
  if (!devices) return std::nullopt;
  for (AudioObjectID device : *devices) {
    try {
      if (HAL::getString(system, device, kPropDeviceUID) == uid) return device;
    } catch (const HALError&) {
      // A device that cannot name itself is not the one we look for.
    }
  }
  return std::nullopt;
}

}  // namespace choralink

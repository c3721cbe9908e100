// The configuration the application hands the engine: which devices play,
// at which volume and extra delay, in which mode. Plain values compared
// field by field (float fields by float comparison, so NaN is unequal to
// itself); the order of the device list matters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types/broadcast_mode.h"

namespace choralink {

// One output device inside a broadcast.
struct DeviceConfig {
  std::string uid;             // the device's persistent UID (AudioDeviceInfo::uid)
  float volume = 1.0f;         // linear gain 0..1 (the router clamps)
  std::int64_t offsetMs = 0;   // extra delay in ms (the router clamps to 0..500)
  bool offsetUserSet = false;  // chosen by the user rather than filled in; kept, never read

  friend bool operator==(const DeviceConfig&, const DeviceConfig&) = default;
};

// The whole configuration of one broadcast. The default value is the
// router's configuration before the first start.
struct BroadcastConfig {
  BroadcastMode mode = BroadcastMode::synced;
  std::vector<DeviceConfig> devices;  // in the order the router considers them
  float masterVolume = 1.0f;          // applied on top of every device's volume, 0..1

  friend bool operator==(const BroadcastConfig&, const BroadcastConfig&) = default;
};

}  // namespace choralink

// The system's input devices (microphones, line inputs) as a measurement
// needs them: where to capture and how late the capture arrives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/hal/audio_system.h"

namespace choralink {

struct InputDeviceInfo {
  AudioObjectID id = kUnknownObject;
  std::string uid;
  std::string name;
  std::uint32_t channels = 0;       // all input streams together
  std::uint32_t latencyFrames = 0;  // "ltnc" + "saft" in the input scope
  double nominalRate = 0;

  friend bool operator==(const InputDeviceInfo&, const InputDeviceInfo&) = default;
};

// Every alive, visible device with at least one input channel, aggregate
// devices excepted, in "dev#"
// order. Devices whose UID cannot be read are passed over; an unreadable
// latency counts as 0. A failed device list gives an empty list.
std::vector<InputDeviceInfo> listInputDevices(AudioSystem& system);

}  // namespace choralink

// Finding an audio device by its persistent UID among the system's devices.
// Used where the engine must reach a device it knows only by UID: restoring
// sample rates and removing leftover aggregates.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "engine/hal/audio_system.h"

namespace choralink {

// Every device of the system object ("dev#"); none when the list cannot be
// read.
std::optional<std::vector<AudioObjectID>> listDevices(AudioSystem& system);

// The first device whose UID ("uid ") equals `uid`. A failed list read
// counts as not found; a device whose UID cannot be read is passed over.
std::optional<AudioObjectID> findDevice(AudioSystem& system, std::string_view uid);

}  // namespace choralink

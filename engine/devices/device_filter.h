// The order of device lists: built-in first, then Bluetooth, then other
// supported devices, unsupported ones last; within a rank by name in the
// localized standard (Finder-like) order: case-insensitive, digits compared
// by value ("Speaker 2" before "Speaker 10"), in the user's locale.
#pragma once

#include <string_view>
#include <vector>

#include "engine/devices/audio_device_info.h"

namespace choralink::DeviceFilter {

// 0 supported built-in, 1 supported Bluetooth, 2 other supported, 3 unsupported.
int rank(const AudioDeviceInfo& device);

// Localized standard comparison of two names: negative, 0 or positive.
int compareNames(std::string_view a, std::string_view b);

// The ordering predicate: whether a comes before b.
bool sort(const AudioDeviceInfo& a, const AudioDeviceInfo& b);

// Stable sort by `sort`: equal ranks with equal names keep their order.
void sortDevices(std::vector<AudioDeviceInfo>& devices);

}  // namespace choralink::DeviceFilter

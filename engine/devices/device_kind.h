// The icon class of an output device, guessed from its transport and name.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "engine/devices/transport.h"

namespace choralink {

enum class DeviceKind {
  laptop,
  desktop,
  headphones,
  airpods,
  airpodsPro,
  airpodsMax,
  speaker,
  tv,
  display,
  usb,
  airPlay,
  other,
};

inline constexpr std::array<DeviceKind, 12> kAllDeviceKinds{
    DeviceKind::laptop,     DeviceKind::desktop,    DeviceKind::headphones, DeviceKind::airpods,
    DeviceKind::airpodsPro, DeviceKind::airpodsMax, DeviceKind::speaker,    DeviceKind::tv,
    DeviceKind::display,    DeviceKind::usb,        DeviceKind::airPlay,    DeviceKind::other};

// Decides by transport first, then by substrings of the whole name lower-cased
// ("airpods max", "wh-", …), the first matching rule winning. `isLaptop` is
// whether this computer is a laptop.
DeviceKind guessDeviceKind(Transport transport, std::string_view name, bool isLaptop);

// The name of the symbol image shown for the kind ("laptopcomputer", …).
std::string_view symbol(DeviceKind kind);

// The case name.
std::string_view rawValue(DeviceKind kind);
std::optional<DeviceKind> deviceKindFromRaw(std::string_view raw);

}  // namespace choralink

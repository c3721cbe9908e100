// How an output device is attached, from the platform's transport code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace choralink {

// In this order. `virtual_` is the "virtual" case (a C++ keyword otherwise).
enum class Transport {
  builtIn,
  bluetooth,
  bluetoothLE,
  hdmi,
  displayPort,
  usb,
  airPlay,
  aggregate,
  virtual_,
  thunderbolt,
  pci,
  firewire,
  avb,
  unknown,
};

inline constexpr std::array<Transport, 14> kAllTransports{
    Transport::builtIn,     Transport::bluetooth,   Transport::bluetoothLE, Transport::hdmi,
    Transport::displayPort, Transport::usb,         Transport::airPlay,     Transport::aggregate,
    Transport::virtual_,    Transport::thunderbolt, Transport::pci,         Transport::firewire,
    Transport::avb,         Transport::unknown};

// The case for a platform transport code ("tran"); any other code, and 0 for
// an unreadable one, is `unknown`.
Transport transportFromCode(std::uint32_t code);

// The label shown to people: "Built-in", "Bluetooth", …, "Other".
std::string_view label(Transport transport);

// The encoded form: the case name ("builtIn", …, "virtual", "unknown").
std::string_view rawValue(Transport transport);
// The case with that raw value; none for any other text.
std::optional<Transport> transportFromRaw(std::string_view raw);

constexpr bool isBluetooth(Transport transport) {
  return transport == Transport::bluetooth || transport == Transport::bluetoothLE;
}

}  // namespace choralink

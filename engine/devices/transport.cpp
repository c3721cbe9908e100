#include "engine/devices/transport.h"

#include "engine/hal/hal_codes.h"

namespace choralink {

Transport transportFromCode(std::uint32_t code) {
  switch (code) {
    case kTransportBuiltIn:
      return Transport::builtIn;
    case kTransportBluetooth:
      return Transport::bluetooth;
    case kTransportBluetoothLE:
      return Transport::bluetoothLE;
    case kTransportHDMI:
      return Transport::hdmi;
    case kTransportDisplayPort:
      return Transport::displayPort;
    case kTransportUSB:
      return Transport::usb;
    case kTransportAirPlay:
      return Transport::airPlay;
    case kTransportAggregate:
    case kTransportAutoAggregate:
      return Transport::aggregate;
    case kTransportVirtual:
      return Transport::virtual_;
    case kTransportThunderbolt:
      return Transport::thunderbolt;
    case kTransportPCI:
      return Transport::pci;
    case kTransportFireWire:
      return Transport::firewire;
    case kTransportAVB:
      return Transport::avb;
    default:
      return Transport::unknown;
  }
}

std::string_view label(Transport transport) {
  switch (transport) {
    case Transport::builtIn:
      return "Built-in";
    case Transport::bluetooth:
    case Transport::bluetoothLE:
      return "Bluetooth";
    case Transport::hdmi:
      return "HDMI";
    case Transport::displayPort:
      return "DisplayPort";
    case Transport::usb:
      return "USB";
    case Transport::airPlay:
      return "AirPlay";
    case Transport::aggregate:
      return "Aggregate";
    case Transport::virtual_:
      return "Virtual";
    case Transport::thunderbolt:
      return "Thunderbolt";
    case Transport::pci:
      return "PCI";
    case Transport::firewire:
      return "FireWire";
    case Transport::avb:
      return "AVB";
    case Transport::unknown:
      break;
  }
  return "Other";
}

std::string_view rawValue(Transport transport) {
  switch (transport) {
    case Transport::builtIn:
      return "builtIn";
    case Transport::bluetooth:
      return "bluetooth";
    case Transport::bluetoothLE:
      return "bluetoothLE";
    case Transport::hdmi:
      return "hdmi";
    case Transport::displayPort:
      return "displayPort";
    case Transport::usb:
      return "usb";
    case Transport::airPlay:
      return "airPlay";
    case Transport::aggregate:
      return "aggregate";
    case Transport::virtual_:
      return "virtual";
    case Transport::thunderbolt:
      return "thunderbolt";
    case Transport::pci:
      return "pci";
    case Transport::firewire:
      return "firewire";
    case Transport::avb:
      return "avb";
    case Transport::unknown:
      break;
  }
  return "unknown";
}

std::optional<Transport> transportFromRaw(std::string_view raw) {
  for (Transport t : kAllTransports) {
    if (rawValue(t) == raw) return t;
  }
  return std::nullopt;
}

}  // namespace choralink

#include "engine/devices/device_kind.h"

#include <string>

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace choralink {

namespace {

// Full Unicode lower-casing in the root locale, so the rules behave the same
// whatever the user's language.
std::string lowerCased(std::string_view text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

bool contains(const std::string& haystack, std::string_view needle) {
  return haystack.find(needle) != std::string::npos;
}

}  // namespace

DeviceKind guessDeviceKind(Transport transport, std::string_view name, bool isLaptop) {
  const std::string n = lowerCased(name);
  switch (transport) {
    case Transport::builtIn:
      if (contains(n, "headphone")) return DeviceKind::headphones;
      if (isLaptop || contains(n, "macbook")) return DeviceKind::laptop;
      return DeviceKind::desktop;
    case Transport::bluetooth:
    case Transport::bluetoothLE:
      if (contains(n, "airpods max")) return DeviceKind::airpodsMax;
      if (contains(n, "airpods pro")) return DeviceKind::airpodsPro;
      if (contains(n, "airpods")) return DeviceKind::airpods;
      for (std::string_view word : {"buds", "headphone", "headset", "wh-", "beats"}) {
        if (contains(n, word)) return DeviceKind::headphones;
      }
      return DeviceKind::speaker;
    case Transport::hdmi:
      return DeviceKind::tv;
    case Transport::displayPort:
    case Transport::thunderbolt:
      return DeviceKind::display;
    case Transport::usb:
      if (contains(n, "headset") || contains(n, "headphone")) return DeviceKind::headphones;
      return DeviceKind::usb;
    case Transport::airPlay:
      return DeviceKind::airPlay;
    default:
      return DeviceKind::other;
  }
}

std::string_view symbol(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::laptop:
      return "laptopcomputer";
    case DeviceKind::desktop:
      return "desktopcomputer";
    case DeviceKind::headphones:
      return "headphones";
    case DeviceKind::airpods:
      return "airpods";
    case DeviceKind::airpodsPro:
      return "airpodspro";
    case DeviceKind::airpodsMax:
      return "airpodsmax";
    case DeviceKind::speaker:
      return "hifispeaker";
    case DeviceKind::tv:
      return "tv";
    case DeviceKind::display:
      return "display";
    case DeviceKind::usb:
    case DeviceKind::other:
      return "speaker.wave.2";
    case DeviceKind::airPlay:
      return "airplayaudio";
  }
  return "speaker.wave.2";
}

std::string_view rawValue(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::laptop:
      return "laptop";
    case DeviceKind::desktop:
      return "desktop";
    case DeviceKind::headphones:
      return "headphones";
    case DeviceKind::airpods:
      return "airpods";
    case DeviceKind::airpodsPro:
      return "airpodsPro";
    case DeviceKind::airpodsMax:
      return "airpodsMax";
    case DeviceKind::speaker:
      return "speaker";
    case DeviceKind::tv:
      return "tv";
    case DeviceKind::display:
      return "display";
    case DeviceKind::usb:
      return "usb";
    case DeviceKind::airPlay:
      return "airPlay";
    case DeviceKind::other:
      break;
  }
  return "other";
}

std::optional<DeviceKind> deviceKindFromRaw(std::string_view raw) {
  for (DeviceKind k : kAllDeviceKinds) {
    if (rawValue(k) == raw) return k;
  }
  return std::nullopt;
}

}  // namespace choralink

// The user's preferences as plain values: what settings.json holds. Freely
// copied between threads; compared field by field.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "types/broadcast_mode.h"

namespace choralink {

// The application's colour scheme.
enum class AppearanceMode { system, light, dark };

// Every appearance, in declaration order (the order the settings window lists).
inline constexpr std::array<AppearanceMode, 3> kAllAppearanceModes{
    AppearanceMode::system, AppearanceMode::light, AppearanceMode::dark};

// The raw value stored in settings.json: "system", "light" or "dark".
constexpr std::string_view rawValue(AppearanceMode mode) {
  switch (mode) {
    case AppearanceMode::light:
      return "light";
    case AppearanceMode::dark:
      return "dark";
    case AppearanceMode::system:
      break;
  }
  return "system";
}

// The appearance whose raw value is `raw`; any other text yields no value.
constexpr std::optional<AppearanceMode> appearanceModeFromRaw(std::string_view raw) {
  for (AppearanceMode mode : kAllAppearanceModes) {
    if (rawValue(mode) == raw) return mode;
  }
  return std::nullopt;
}

// One output device the user has ever configured, keyed by its UID in
// AppSettings::devices. Every field is given at construction: the defaults the
// store fills in apply only to reading a file.
struct DeviceSettings {
  DeviceSettings(bool enabled, std::int64_t volume, std::int64_t offsetMs, bool offsetUserSet,
                 std::string lastName)
      : enabled(enabled),
        volume(volume),
        offsetMs(offsetMs),
        offsetUserSet(offsetUserSet),
        lastName(std::move(lastName)) {}

  bool enabled;           // takes part in the broadcast
  std::int64_t volume;    // percent, 0-100
  std::int64_t offsetMs;  // extra delay in milliseconds, 0-500
  bool offsetUserSet;     // the delay was chosen by the user, not filled in
  std::string lastName;   // name when last seen, shown while it is absent

  bool operator==(const DeviceSettings&) const = default;
};

// The whole settings file. Default-constructed, it holds the values a new
// user starts with.
struct AppSettings {
  static constexpr std::int64_t currentSchema = 3;
  // Top-level keys of earlier versions, dropped on the next save.
  static constexpr std::array<std::string_view, 2> retiredKeys{"auto_bt_compensation",
                                                               "auto_bt_ms"};

  std::int64_t schema = currentSchema;
  BroadcastMode mode = BroadcastMode::synced;
  std::int64_t masterVolume = 100;  // percent, 0-100
  bool launchAtLogin = false;
  bool showInDock = true;
  bool onboardingDone = false;
  AppearanceMode appearance = AppearanceMode::system;
  std::map<std::string, DeviceSettings> devices;  // by device UID

  bool operator==(const AppSettings&) const = default;
};

}  // namespace choralink

// How a broadcast treats the system's own output: `synced` drives every chosen
// device from the broadcast and mutes the system output; `mirror` leaves the
// current default output playing directly and copies to the others. Header
// only, so that the settings store can persist it without linking the engine.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace choralink {

enum class BroadcastMode { synced, mirror };

// Every mode, in declaration order.
inline constexpr std::array<BroadcastMode, 2> kAllBroadcastModes{BroadcastMode::synced,
                                                                 BroadcastMode::mirror};

// The raw value stored in settings.json.
constexpr std::string_view rawValue(BroadcastMode mode) {
  return mode == BroadcastMode::synced ? "synced" : "mirror";
}

// The mode whose raw value is `raw`; any other text yields no value.
constexpr std::optional<BroadcastMode> broadcastModeFromRaw(std::string_view raw) {
  for (BroadcastMode mode : kAllBroadcastModes) {
    if (rawValue(mode) == raw) return mode;
  }
  return std::nullopt;
}

}  // namespace choralink

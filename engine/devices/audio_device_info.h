// The engine's record of one output device, and the rules that turn platform
// facts into it: admission (which devices are listed at all), support status,
// the standard-rate reduction of "nsr#" and the stereo pair. The device
// catalog's describe step assembles records with these rules.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/devices/device_kind.h"
#include "engine/devices/transport.h"
#include "engine/hal/audio_records.h"

namespace choralink {

enum class SupportStatus { supported, airPlayUnsupported };

std::string_view rawValue(SupportStatus status);
std::optional<SupportStatus> supportStatusFromRaw(std::string_view raw);
// AirPlay devices are listed but cannot play in a broadcast yet.
constexpr SupportStatus supportStatusFor(Transport transport) {
  return transport == Transport::airPlay ? SupportStatus::airPlayUnsupported
                                         : SupportStatus::supported;
}

// 1-based channel numbers carrying left and right.
struct StereoPair {
  int left = 1;
  int right = 2;
  friend bool operator==(const StereoPair&, const StereoPair&) = default;
};

// Immutable once built. Equality leaves out `kind` and `availableRates`: a
// change of either alone is not worth republishing a device list.
struct AudioDeviceInfo {
  std::string uid;
  AudioObjectID objectID = kUnknownObject;  // valid only while the device exists
  std::string name;
  Transport transport = Transport::unknown;
  DeviceKind kind = DeviceKind::other;
  int outputChannels = 1;
  double nominalRate = 0;
  std::vector<double> availableRates;  // standard rates, ascending, unique
  bool isDefaultOutput = false;
  int latencyFrames = 0;  // at nominalRate
  StereoPair stereoPair;
  SupportStatus supportStatus = SupportStatus::supported;

  // Lists identify a device by its UID.
  const std::string& id() const { return uid; }
  // latencyFrames in milliseconds at nominalRate; 0 when the rate is unknown.
  double latencyMs() const;

  friend bool operator==(const AudioDeviceInfo& a, const AudioDeviceInfo& b);
};

// The prefix of every aggregate device this program creates.
inline constexpr std::string_view kOwnAggregateUIDPrefix = "app.choralink.agg.";

// Whether a device is listed: a readable non-empty UID, at least one output
// channel, not hidden, alive, not one of our own aggregates, and neither an
// aggregate nor a virtual device. (Unreadable hidden/alive flags are passed
// in as not hidden / alive.)
bool isAdmitted(std::string_view uid, int outputChannels, bool hidden, bool alive,
                Transport transport);

// The rates a device is offered at: 44.1, 48, 88.2, 96, 176.4 and 192 kHz.
inline constexpr std::array<double, 6> kStandardRates{44100, 48000, 88200, 96000, 176400, 192000};

// The standard rates that lie inside some range (inclusive), ascending.
std::vector<double> standardRatesIn(const std::vector<ValueRange>& ranges);

// The preferred stereo channels ("dch2") when there are exactly two, both
// nonzero and within the output channels; otherwise (1, min(channels, 2)).
StereoPair stereoPairFor(const std::vector<std::uint32_t>& preferred, int outputChannels);

// For test failure messages.
std::ostream& operator<<(std::ostream& out, const AudioDeviceInfo& device);

}  // namespace choralink

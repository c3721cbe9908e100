// The description dictionary from which a backend creates an aggregate device.
// It is a JSON object (nlohmann::json) with text keys; values are text,
// integers and arrays of dictionaries:
//
//   "name"         text     the device's name
//   "uid"          text     the device's UID; must not be in use
//   "private"      integer  1: visible only to this process
//   "stacked"      integer  0: sub-devices' streams side by side (the only
//                           form the engine creates)
//   "master"       text     UID of the clock device
//   "subdevices"   array of { "uid": text, "drift": integer } in order;
//                           drift 1 resamples that device to the clock device
//   "taps"         array of { "uid": text (a tap's "tuid"), "drift": integer }
//   "tapautostart" integer  1: the taps run whenever the device's IO runs
//
// The aggregate lists the output streams of its joined sub-devices in
// sub-device order, its input streams as the sub-devices' inputs followed by
// the taps' streams, and "agrp" as the joined sub-devices in order.
#pragma once

#include <nlohmann/json.hpp>

namespace choralink {

using AggregateDescription = nlohmann::json;

inline constexpr const char* kAggregateNameKey = "name";
inline constexpr const char* kAggregateUIDKey = "uid";
inline constexpr const char* kAggregatePrivateKey = "private";
inline constexpr const char* kAggregateStackedKey = "stacked";
inline constexpr const char* kAggregateMasterKey = "master";
inline constexpr const char* kAggregateSubDevicesKey = "subdevices";
inline constexpr const char* kAggregateTapsKey = "taps";
inline constexpr const char* kAggregateTapAutoStartKey = "tapautostart";
// Keys of each sub-device and tap entry.
inline constexpr const char* kSubDeviceUIDKey = "uid";
inline constexpr const char* kSubDeviceDriftKey = "drift";

}  // namespace choralink

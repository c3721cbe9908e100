// Whether this computer is a laptop, for the device kinds: a built-in output
// of a laptop shows as "laptop", that of any other computer as "desktop".
//
// On Linux the answer comes from the firmware's DMI chassis type, a decimal
// number in /sys/class/dmi/id/chassis_type (SMBIOS "System Enclosure or
// Chassis" types). These count as laptops:
//
//    8 Portable     9 Laptop     10 Notebook     14 Sub Notebook
//   31 Convertible  32 Detachable
//
// Every other type (desktops, towers, all-in-ones, tablets, servers, "Other",
// "Unknown"), a missing or unreadable file and text that is not a number
// count as not a laptop: virtual machines and boards without DMI data have
// no built-in loudspeakers worth a laptop icon.
#pragma once

#include <filesystem>
#include <optional>

namespace choralink {

inline constexpr const char* kDMIChassisTypeFile = "/sys/class/dmi/id/chassis_type";

// Whether an SMBIOS chassis type is one of the laptop types above.
bool isLaptopChassisType(int type);

// The chassis type written in `file` (surrounding white space allowed); none
// when the file cannot be read or holds anything but a decimal number.
std::optional<int> readChassisType(const std::filesystem::path& file);

// Reads `file` and applies the mapping: unreadable is not a laptop.
bool isLaptopChassis(const std::filesystem::path& file = kDMIChassisTypeFile);

// This computer's answer, computed on first use from kDMIChassisTypeFile and
// kept for the life of the process. Any thread.
bool isLaptop();

}  // namespace choralink

// The platform's numbers the engine relies on, by name: object ids, scopes,
// property selectors, transport codes, status codes and the audio format of
// a tap. Every backend speaks these codes on the seam (audio_system.h).
#pragma once

#include <cstdint>

#include "engine/hal/four_cc.h"

namespace choralink {

using AudioObjectID = std::uint32_t;
// A platform result code: 0 on success, otherwise usually a four-character code.
using HALStatus = std::int32_t;

inline constexpr AudioObjectID kUnknownObject = 0;
// The system object: device list, default output, process objects.
inline constexpr AudioObjectID kSystemObject = 1;

// ---- Scopes and element -------------------------------------------------
inline constexpr std::uint32_t kScopeGlobal = fourCharCode("glob");
inline constexpr std::uint32_t kScopeOutput = fourCharCode("outp");
inline constexpr std::uint32_t kScopeInput = fourCharCode("inpt");
inline constexpr std::uint32_t kElementMain = 0;

// ---- Property selectors (global scope unless noted) ---------------------
// System object.
inline constexpr std::uint32_t kPropDevices = fourCharCode("dev#");              // uint32 array
inline constexpr std::uint32_t kPropDefaultOutputDevice = fourCharCode("dOut");  // uint32
// Qualifier: a process id (int32); value: that process's audio object (uint32).
inline constexpr std::uint32_t kPropProcessObjectForPID = fourCharCode("id2p");
// Whether the sound server answers (uint32, 1 or 0); its listeners hear when
// it goes away and when it is back.
inline constexpr std::uint32_t kPropServiceIsAlive = fourCharCode("srvl");

// Devices.
inline constexpr std::uint32_t kPropDeviceUID = fourCharCode("uid ");          // StringRef
inline constexpr std::uint32_t kPropName = fourCharCode("lnam");               // StringRef
inline constexpr std::uint32_t kPropTransportType = fourCharCode("tran");      // uint32
inline constexpr std::uint32_t kPropNominalSampleRate = fourCharCode("nsrt");  // double, settable
// ValueRange array.
inline constexpr std::uint32_t kPropAvailableNominalSampleRates = fourCharCode("nsr#");
// Output or input scope: a buffer list (cl_audio_buffer_list layout, mData null).
inline constexpr std::uint32_t kPropStreamConfiguration = fourCharCode("slay");
// Output scope: two uint32, 1-based channel numbers.
inline constexpr std::uint32_t kPropPreferredStereoChannels = fourCharCode("dch2");
// Output scope on a device, global scope on a stream: uint32 frames.
inline constexpr std::uint32_t kPropLatency = fourCharCode("ltnc");
inline constexpr std::uint32_t kPropSafetyOffset = fourCharCode("saft");     // uint32 frames
inline constexpr std::uint32_t kPropBufferFrameSize = fourCharCode("fsiz");  // uint32 frames
inline constexpr std::uint32_t kPropStreams = fourCharCode("stm#");  // uint32 array of streams
inline constexpr std::uint32_t kPropDeviceIsAlive = fourCharCode("livn");       // uint32
inline constexpr std::uint32_t kPropIsHidden = fourCharCode("hidn");            // uint32
inline constexpr std::uint32_t kPropIsRunningSomewhere = fourCharCode("goin");  // uint32
// A notification only: listened to, never read.
inline constexpr std::uint32_t kPropProcessorOverload = fourCharCode("over");

// Aggregate devices.
inline constexpr std::uint32_t kPropActiveSubDevices = fourCharCode("agrp");  // uint32 array
// Input scope: the IOProcStreamUsage record (audio_records.h).
inline constexpr std::uint32_t kPropIOProcStreamUsage = fourCharCode("suse");

// Process taps.
inline constexpr std::uint32_t kPropTapUID = fourCharCode("tuid");     // StringRef
inline constexpr std::uint32_t kPropTapFormat = fourCharCode("tfmt");  // StreamFormat, 40 bytes

// ---- Transport types ("tran") ---------------------------------------------
inline constexpr std::uint32_t kTransportBuiltIn = fourCharCode("bltn");
inline constexpr std::uint32_t kTransportBluetooth = fourCharCode("blue");
inline constexpr std::uint32_t kTransportBluetoothLE = fourCharCode("blea");
inline constexpr std::uint32_t kTransportHDMI = fourCharCode("hdmi");
inline constexpr std::uint32_t kTransportDisplayPort = fourCharCode("dprt");
inline constexpr std::uint32_t kTransportUSB = fourCharCode("usb ");
inline constexpr std::uint32_t kTransportAirPlay = fourCharCode("airp");
inline constexpr std::uint32_t kTransportAggregate = fourCharCode("grup");
inline constexpr std::uint32_t kTransportAutoAggregate = fourCharCode("fgrp");
inline constexpr std::uint32_t kTransportVirtual = fourCharCode("virt");
inline constexpr std::uint32_t kTransportThunderbolt = fourCharCode("thun");
inline constexpr std::uint32_t kTransportPCI = fourCharCode("pci ");
inline constexpr std::uint32_t kTransportFireWire = fourCharCode("1394");
inline constexpr std::uint32_t kTransportAVB = fourCharCode("eavb");
inline constexpr std::uint32_t kTransportUnknown = 0;

// ---- Status codes -------------------------------------------------------
inline constexpr HALStatus kStatusOK = 0;
inline constexpr HALStatus kStatusUnspecified = static_cast<HALStatus>(fourCharCode("what"));
inline constexpr HALStatus kStatusNotRunning = static_cast<HALStatus>(fourCharCode("stop"));
inline constexpr HALStatus kStatusUnknownProperty = static_cast<HALStatus>(fourCharCode("who?"));
inline constexpr HALStatus kStatusBadPropertySize = static_cast<HALStatus>(fourCharCode("!siz"));
inline constexpr HALStatus kStatusIllegalOperation = static_cast<HALStatus>(fourCharCode("nope"));
inline constexpr HALStatus kStatusBadObject = static_cast<HALStatus>(fourCharCode("!obj"));
inline constexpr HALStatus kStatusBadDevice = static_cast<HALStatus>(fourCharCode("!dev"));
inline constexpr HALStatus kStatusBadStream = static_cast<HALStatus>(fourCharCode("!str"));
inline constexpr HALStatus kStatusUnsupportedOperation =
    static_cast<HALStatus>(fourCharCode("unop"));
inline constexpr HALStatus kStatusUnsupportedFormat = static_cast<HALStatus>(fourCharCode("!dat"));
inline constexpr HALStatus kStatusPermissions = static_cast<HALStatus>(fourCharCode("!hog"));

// ---- Stream formats -----------------------------------------------------
inline constexpr std::uint32_t kFormatLinearPCM = fourCharCode("lpcm");
inline constexpr std::uint32_t kFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t kFormatFlagIsNonInterleaved = 1u << 5;

}  // namespace choralink

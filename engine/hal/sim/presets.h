// Ready-made simulated devices shaped like the ones people plug into a
// laptop, and a standard machine of four of them, so a test stands up a
// realistic system in one line:
//
//   VirtualExecutor clock;
//   SimAudioSystem sim(clock);
//   auto machine = presets::addStandardMachine(sim);  // speakers are the default
//
// Latencies are chosen so the engine's sum (ltnc + saft + fsiz + stream)
// gives round, recognisable totals.
#pragma once

#include "engine/hal/sim/device_spec.h"
#include "engine/hal/sim/sim_audio_system.h"

namespace choralink::sim::presets {

inline constexpr const char* kSpeakersUID = "BuiltInSpeakerDevice";
inline constexpr const char* kAirPodsUID = "70-F9-4A-11-22-33:output";
inline constexpr const char* kTVUID = "HDMI-LivingRoomTV-0001";
inline constexpr const char* kAirPlayUID = "AirPlay-Kitchen-7C:2E:0D";
inline constexpr const char* kUSBInterfaceUID = "USB-StudioInterface-4411";
inline constexpr const char* kUSBHeadsetUID = "USB-Headset-0A12";
inline constexpr const char* kDisplayUID = "DP-StudioDisplay-77";
inline constexpr const char* kVirtualUID = "VirtualOutputDevice";
inline constexpr const char* kUserAggregateUID = "com.example.user-aggregate";
inline constexpr const char* kMicrophoneUID = "BuiltInMicrophoneDevice";

// Built-in speakers: 48 kHz (44.1–96 kHz), stereo, 676 frames of latency.
DeviceSpec builtInSpeakers();
// Bluetooth earbuds: fixed 44.1 kHz, stereo, 7350 frames (≈167 ms), slow to join.
DeviceSpec airPods();
// An HDMI television: 48 kHz (32–48 kHz), stereo, 1600 frames.
DeviceSpec hdmiTV();
// An AirPlay speaker: 44.1 kHz, stereo, two seconds of latency.
DeviceSpec airPlaySpeaker();
// A USB interface: 44.1–192 kHz as one continuous range, two stereo output
// streams with its stereo pair on channels 3 and 4, one stereo input.
DeviceSpec usbInterface();
// A USB headset: 48 kHz, stereo out, mono microphone.
DeviceSpec usbHeadset();
// A DisplayPort monitor's speakers.
DeviceSpec displayPortMonitor();
// A virtual (software) output device.
DeviceSpec virtualOutput();
// An aggregate device the user built elsewhere: to the system it is just
// another output device with the aggregate transport.
DeviceSpec userAggregate();

struct StandardMachine {
  AudioObjectID speakers = kUnknownObject;
  AudioObjectID airPods = kUnknownObject;
  AudioObjectID tv = kUnknownObject;
  AudioObjectID airPlay = kUnknownObject;
};

// The built-in microphone: 48 kHz, mono input, no output.
DeviceSpec builtInMicrophone();

// Plugs in built-in speakers (the default output), AirPods-like headphones,
// an HDMI TV and an AirPlay speaker, in that order.
StandardMachine addStandardMachine(SimAudioSystem& system);

// Adds the built-in microphone to a standard machine and a room around it
// in which the speakers, the earbuds and the TV sound at a distance and a
// little later than they report (as real ones do), over faint noise: enough
// to try a calibration by microphone on the simulator.
void addStandardRoom(SimAudioSystem& system);

}  // namespace choralink::sim::presets

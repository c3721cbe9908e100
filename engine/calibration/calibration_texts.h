// What a calibration by microphone tells the user when it cannot finish or
// leaves a device alone: each text says what to do next.
#pragma once

namespace choralink::CalibrationTexts {

inline constexpr const char* kNotBroadcasting =
    "Start broadcasting first: calibration listens to the devices while they play.";
inline constexpr const char* kNoMicrophone =
    "No microphone found. Connect a microphone or a headset with one, then try again.";
inline constexpr const char* kMicrophoneLost =
    "The microphone stopped delivering sound. Check that it is still connected, then try again.";
inline constexpr const char* kTooQuiet =
    "The microphone heard nothing. Check that it isn't muted, turn up its input level or the "
    "device volumes, then try again.";
inline constexpr const char* kTooNoisy =
    "It was too noisy to hear the devices clearly. Make the room quieter or put the microphone "
    "where you listen, closer to the devices, then try again.";
inline constexpr const char* kBroadcastStopped =
    "Broadcasting stopped during calibration. Start broadcasting again, then calibrate.";
inline constexpr const char* kKeptChanging =
    "Devices kept changing during calibration. Try again when they've settled.";
// Per device, after its name.
inline constexpr const char* kDeviceVanished =
    " disappeared during calibration; its delay was left as it was.";
inline constexpr const char* kDeviceNotHeard =
    " wasn't heard clearly; its delay was left as it was. Turn it up or move the microphone "
    "closer to it, then calibrate again.";

}  // namespace choralink::CalibrationTexts

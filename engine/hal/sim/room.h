// A room around a simulated microphone: every listed output device's speaker
// stands at a distance from it (sound travels at 343 m/s, falling off as
// 1/distance), plays earlier or later than the device reports, and reaches
// the microphone again by a reflection or two; white background noise is
// added. While a room is set, an IO procedure on the microphone device
// receives what it hears, on every channel of its input streams, `ltnc`
// (input scope) after the sound:
//
//   sim.setRoom(Room::around(mic.uid, {{"a", 1.0, -20}, {"b", 2.5, 35}}).withNoise(0.01));
//
// A speaker's true latency (reported + error) must stay at least one buffer
// of the microphone: a room cannot hear what has not been played yet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace choralink::sim {

inline constexpr double kSpeedOfSound = 343.0;  // m/s

struct RoomSpeaker {
  std::string uid;
  double distanceMeters = 1.0;
  // How much later (+) or earlier (-) the device really sounds than the
  // latency it reports, in milliseconds.
  double latencyErrorMs = 0;
  double gain = 1.0;
};

// A second path of every speaker's sound: this much longer, at this gain.
struct Reflection {
  double extraMeters = 0;
  double gain = 0;
};

struct Room {
  std::string microphoneUID;
  std::vector<RoomSpeaker> speakers;
  std::vector<Reflection> reflections{{1.9, 0.35}, {4.3, 0.18}};
  double noiseRms = 0;  // white noise, linear full scale
  bool microphoneMuted = false;
  std::uint32_t noiseSeed = 7;

  static Room around(std::string microphoneUID, std::vector<RoomSpeaker> speakers) {
    Room room;
    room.microphoneUID = std::move(microphoneUID);
    room.speakers = std::move(speakers);
    return room;
  }
  Room withNoise(double rms) const {
    Room room = *this;
    room.noiseRms = rms;
    return room;
  }
  Room muted() const {
    Room room = *this;
    room.microphoneMuted = true;
    return room;
  }

  // Seconds from a device handing its sound to the speaker until the direct
  // path reaches the microphone, beyond the latency the device reports.
  double extraSeconds(const RoomSpeaker& speaker) const {
    return speaker.distanceMeters / kSpeedOfSound + speaker.latencyErrorMs / 1000.0;
  }
};

}  // namespace choralink::sim

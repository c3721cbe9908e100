// The simulated room: the microphone hears each speaker when the device
// really sounds plus the way through the air, quieter with distance, once
// more by each reflection, and nothing when muted.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"
#include "tests/hal/io_probe.h"

namespace choralink::sim {
namespace {

constexpr double kRate = 48000;
constexpr double kClickAt = 0.1;
constexpr std::uint32_t kMicLatency = 256;

struct RoomCase {
  const char* name;
  double meters;
  double errorMs;
  std::vector<Reflection> reflections;
  bool muted;
};

class SimRoomTest : public ::testing::TestWithParam<RoomCase> {};

// First frame at or after `from` whose magnitude reaches `level`; -1: none.
long firstAbove(const std::vector<float>& v, float level, long from = 0) {
  for (long i = from; i < static_cast<long>(v.size()); ++i)
    if (std::fabs(v[static_cast<std::size_t>(i)]) >= level) return i;
  return -1;
}

TEST_P(SimRoomTest, MicrophoneHearsTheSpeakerWhenAndHowLoudTheRoomSays) {
  const RoomCase& c = GetParam();
  VirtualExecutor clock;
  SimAudioSystem sim(clock);
  sim.addDevice(presets::builtInSpeakers());  // the default output: plays the mix directly
  DeviceSpec mic;
  mic.uid = "mic";
  mic.outputStreams = {};
  mic.inputStreams = {1};
  mic.inputLatencyFrames = kMicLatency;
  const AudioObjectID micID = sim.addDevice(mic);
  sim.setSystemMix(SignalSource::clickTrain(kClickAt, 10.0, 1.0f, 0.001, 1));
  Room room = Room::around("mic", {{presets::kSpeakersUID, c.meters, c.errorMs}});
  room.reflections = c.reflections;
  sim.setRoom(c.muted ? room.muted() : room);

  IOProbe probe;
  probe.tapBuffer = 0;
  IOProcID proc = kNoIOProc;
  ASSERT_EQ(sim.createIOProcID(micID, &IOProbe::proc, &probe, proc), kStatusOK);
  ASSERT_EQ(sim.startDevice(micID, proc), kStatusOK);
  sim.stepIO(0.5);
  sim.stopDevice(micID, proc);
  sim.destroyIOProcID(micID, proc);

  const std::vector<float>& heard = probe.captured;
  if (c.muted) {
    EXPECT_EQ(firstAbove(heard, 1e-6f), -1);
    return;
  }
  const double latency = presets::builtInSpeakers().outputLatencySeconds();
  const double direct = kClickAt + latency + c.meters / kSpeedOfSound + c.errorMs / 1000;
  const long expected = std::lround((direct + kMicLatency / kRate) * kRate);
  const long onset = firstAbove(heard, 1e-4f);
  EXPECT_NEAR(onset, expected, 1);
  float peak = 0;
  for (long i = onset; i < onset + 48; ++i)
    peak = std::max(peak, std::fabs(heard[static_cast<std::size_t>(i)]));
  EXPECT_NEAR(peak, 1.0 / c.meters, 0.1 / c.meters);
  for (const Reflection& r : c.reflections) {
    const long at = expected + std::lround(r.extraMeters / kSpeedOfSound * kRate);
    EXPECT_EQ(firstAbove(heard, 1e-4f, expected + 48), at) << r.extraMeters;
  }
}

INSTANTIATE_TEST_SUITE_P(Rooms, SimRoomTest,
                         ::testing::Values(RoomCase{"OneMetre", 1.0, 0, {}, false},
                                           RoomCase{"FarAndEarly", 3.43, -5, {}, false},
                                           RoomCase{
                                               "LateWithAReflection", 2.0, 20, {{1.5, 0.4}}, false},
                                           RoomCase{"Muted", 1.0, 0, {{1.5, 0.4}}, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace choralink::sim

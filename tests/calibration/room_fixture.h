// A broadcast in a simulated room, for the calibration tests: four devices
// whose reported latencies are off by -20…+60 ms, standing 1…4 m from a USB
// microphone. What a listener at the microphone really hears is known here
// (the simulator's truth), so a test can judge the calibration by it rather
// than by the calibration's own figures.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/calibration/mic_calibration.h"
#include "tests/control/router_fixture.h"

namespace choralink::test {

inline constexpr const char* kMicUID = "USB-Microphone-0042";

struct RoomDevice {
  const char* uid;
  const char* name;
  std::uint32_t reportedFrames;  // ltnc; fsiz adds 512
  double meters;
  double errorMs;
};

// Reported latencies 50…110 ms at 48 kHz; true ones -20…+60 ms off.
inline const std::vector<RoomDevice> kRoomDevices{
    {"Room-Soundbar", "Soundbar", 1888, 1.0, -20},
    {"Room-Headphones", "Wireless Headphones", 4288, 2.5, 60},
    {"Room-TV", "Television", 3088, 4.0, 15},
    {"Room-Speaker", "Shelf Speaker", 2400, 1.5, 35},
};

inline sim::DeviceSpec roomDeviceSpec(const RoomDevice& device) {
  sim::DeviceSpec spec;
  spec.uid = device.uid;
  spec.name = device.name;
  spec.latencyFrames = device.reportedFrames;
  spec.joinDelay = 0.05;
  return spec;
}

inline sim::DeviceSpec microphoneSpec() {
  sim::DeviceSpec spec;
  spec.uid = kMicUID;
  spec.name = "USB Microphone";
  spec.outputStreams = {};
  spec.preferredStereo = {};
  spec.inputStreams = {1};
  spec.inputLatencyFrames = 256;
  return spec;
}

inline sim::Room standardRoom() {
  std::vector<sim::RoomSpeaker> speakers;
  for (const RoomDevice& device : kRoomDevices)
    speakers.push_back({device.uid, device.meters, device.errorMs});
  return sim::Room::around(kMicUID, speakers);
}

struct Outcome {
  std::optional<CalibrationResult> result;
  std::optional<std::string> failure;
  std::vector<CalibrationProgress> progress;
};

class RoomTest : public RouterTest {
 protected:
  RoomTest() : RouterTest(roomOptions()) {}

  static sim::SimOptions roomOptions() {
    sim::SimOptions options = routerSimOptions();
    options.recordingWindowSeconds = 12;
    return options;
  }

  void SetUp() override {
    for (const RoomDevice& device : kRoomDevices)
      plug(roomDeviceSpec(device));
    createRouter();
  }

  void startBroadcast() {
    BroadcastConfig config;
    for (const RoomDevice& device : kRoomDevices)
      config.devices.push_back(DeviceConfig{device.uid, 1.0f, 0, false});
    start(config);
    advance(0.5);
  }

  MicCalibration& calibration() {
    if (!calibration_) {
      MicCalibration::Environment environment(system(), *router, clock());
      environment.log = &logs.log();
      calibration_.emplace(environment);
    }
    return *calibration_;
  }

  // Starts a run; its outcome fills in as virtual time passes.
  void calibrate(const std::string& microphone = kMicUID) {
    outcome = Outcome{};
    calibration().start(microphone,
                        CalibrationCallbacks{
                            [this](const CalibrationProgress& p) { outcome.progress.push_back(p); },
                            [this](const CalibrationResult& r) { outcome.result = r; },
                            [this](const std::string& m) { outcome.failure = m; },
                        });
  }

  // Runs until the calibration has ended, at most `limit` seconds.
  void runToEnd(double limit = 30) {
    for (double t = 0; t < limit && !outcome.result && !outcome.failure; t += 0.1)
      advance(0.1);
  }

  // When each broadcast device really sounds at the microphone, in seconds
  // after the render hands it a frame: the delay in use, the true latency
  // and the way through the air.
  std::map<std::string, double> heardSeconds() {
    std::map<std::string, double> heard;
    const auto delays = router->delayBreakdown();
    for (const RoomDevice& device : kRoomDevices) {
      const auto delay = delays.find(device.uid);
      const auto spec = system().device(device.uid);
      if (delay == delays.end() || !spec) continue;
      heard[device.uid] = delay->second.totalFrames / 48000.0 + spec->outputLatencySeconds() +
                          device.errorMs / 1000 + device.meters / sim::kSpeedOfSound;
    }
    return heard;
  }

  static double spreadMs(const std::map<std::string, double>& heard) {
    double lo = 1e9, hi = -1e9;
    for (const auto& [uid, t] : heard) {
      lo = std::min(lo, t);
      hi = std::max(hi, t);
    }
    return (hi - lo) * 1000;
  }

  void apply(const CalibrationResult& result) {
    for (const DeviceCalibration& device : result.devices)
      router->setOffset(device.uid, device.newOffsetMs, true);
  }

  std::optional<MicCalibration> calibration_;
  Outcome outcome;
};

}  // namespace choralink::test

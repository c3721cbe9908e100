// Calibration by microphone on the simulated room: how long a whole run for
// four devices takes (wall clock, for the engine's work; virtual time, for
// what the user waits) and how far apart the devices are heard before and
// after applying its result, by the simulator's truth.
//
//   build/bench/calibration_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>

#include "engine/calibration/mic_calibration.h"
#include "engine/hal/sim/sim_machine.h"

using namespace choralink;

namespace {

struct Device {
  const char* uid;
  std::uint32_t reportedFrames;
  double meters;
  double errorMs;
};

const Device kDevices[] = {
    {"Bench-Soundbar", 1888, 1.0, -20},
    {"Bench-Headphones", 4288, 2.5, 60},
    {"Bench-TV", 3088, 4.0, 15},
    {"Bench-Speaker", 2400, 1.5, 35},
};

double heardSpreadMs(AudioRouter& router, sim::SimAudioSystem& system) {
  const auto delays = router.delayBreakdown();
  double lo = 1e9, hi = -1e9;
  for (const Device& d : kDevices) {
    const double t = delays.at(d.uid).totalFrames / 48000.0 +
                     system.device(d.uid)->outputLatencySeconds() + d.errorMs / 1000 +
                     d.meters / sim::kSpeedOfSound;
    lo = std::min(lo, t);
    hi = std::max(hi, t);
  }
  return (hi - lo) * 1000;
}

void advance(VirtualExecutor& clock, double seconds) {
  clock.advanceBy(seconds);
  clock.settle();
}

struct Figures {
  double wallSeconds = 0;
  double virtualSeconds = 0;
  double before = 0;
  double measuredAfter = 0;
  double trueAfter = 0;
};

Figures runOnce(double noiseRms) {
  sim::SimOptions options;
  options.recordingWindowSeconds = 12;
  sim::SimMachine machine(options);
  machine.system.setSystemMix(sim::SignalSource::sine(440, 0.5f));
  std::vector<sim::RoomSpeaker> speakers;
  BroadcastConfig config;
  for (const Device& d : kDevices) {
    sim::DeviceSpec spec;
    spec.uid = d.uid;
    spec.latencyFrames = d.reportedFrames;
    machine.system.addDevice(spec);
    speakers.push_back({d.uid, d.meters, d.errorMs});
    config.devices.push_back(DeviceConfig{d.uid, 1.0f, 0, false});
  }
  sim::DeviceSpec mic;
  mic.uid = "Bench-Microphone";
  mic.outputStreams = {};
  mic.preferredStereo = {};
  mic.inputStreams = {1};
  mic.inputLatencyFrames = 256;
  machine.system.addDevice(mic);
  machine.system.setRoom(sim::Room::around(mic.uid, speakers).withNoise(noiseRms));

  const auto journal = std::filesystem::temp_directory_path() / "calibration-bench-rates.json";
  AudioRouter::Environment environment(machine.system);
  environment.rateJournal = journal;
  environment.queue = &machine.clock;
  environment.isLaptop = true;
  AudioRouter router(environment);
  machine.clock.settle();
  auto started = router.start(config);
  machine.clock.settle();
  started.get();
  advance(machine.clock, 0.5);

  Figures figures;
  figures.before = heardSpreadMs(router, machine.system);
  std::optional<CalibrationResult> result;
  bool failed = false;
  MicCalibration calibration(MicCalibration::Environment(machine.system, router, machine.clock));
  const auto wall0 = std::chrono::steady_clock::now();
  const double virtual0 = machine.clock.now();
  calibration.start(mic.uid, {nullptr, [&](const CalibrationResult& r) { result = r; },
                              [&](const std::string& message) {
                                std::fprintf(stderr, "failed: %s\n", message.c_str());
                                failed = true;
                              }});
  while (!result && !failed)
    advance(machine.clock, 0.05);
  figures.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  figures.virtualSeconds = machine.clock.now() - virtual0;
  if (result) {
    figures.measuredAfter = result->spreadAfterMs;
    for (const DeviceCalibration& device : result->devices)
      router.setOffset(device.uid, device.newOffsetMs, true);
    figures.trueAfter = heardSpreadMs(router, machine.system);
  }
  router.shutdownSync(5);
  machine.clock.settle();
  std::filesystem::remove(journal);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  for (const double noise : {0.0, 0.0056}) {
    Figures sum;
    double worstAfter = 0;
    for (int i = 0; i < runs; ++i) {
      const Figures f = runOnce(noise);
      sum.wallSeconds += f.wallSeconds;
      sum.virtualSeconds += f.virtualSeconds;
      sum.before = f.before;
      sum.measuredAfter = std::max(sum.measuredAfter, f.measuredAfter);
      worstAfter = std::max(worstAfter, f.trueAfter);
    }
    std::printf(
        "four devices, noise rms %.4f: wall %.3f s per calibration, %.2f s of audio time; "
        "heard spread %.2f ms before, %.3f ms after (true), %.3f ms (verified by measurement)\n",
        noise, sum.wallSeconds / runs, sum.virtualSeconds / runs, sum.before, worstAfter,
        sum.measuredAfter);
  }
  return 0;
}

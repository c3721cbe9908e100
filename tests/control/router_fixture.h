// A simulated machine with a router on it, for the engine-control tests: one
// virtual clock drives the router's queue, the simulator's joins and
// notifications and its IO, so every timer of the router (0.3 s catalog
// debounce, 0.25 s rebuild delay, 1 s watchdog, restarts, wake) runs on
// virtual time. Events and device lists are collected as the application
// would receive them, each with the virtual time it arrived.
//
//   plug(presets::builtInSpeakers());
//   plug(presets::hdmiTV());
//   createRouter();
//   start({kSpeakersUID, kTVUID});
//   advance(1.0);
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/control/audio_router.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_machine.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/graph/graph_fixture.h"

namespace choralink::test {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

inline constexpr const char* kSpeakers = presets::kSpeakersUID;
inline constexpr const char* kTV = presets::kTVUID;
inline constexpr const char* kUSB = presets::kUSBInterfaceUID;

struct TimedEvent {
  double time = 0;
  EngineEvent event;
};

inline sim::SimOptions routerSimOptions() {
  sim::SimOptions options;
  // Recordings are not what these tests listen to; a short window keeps
  // long runs small.
  options.recordingWindowSeconds = 4;
  return options;
}

inline BroadcastConfig configFor(const std::vector<std::string>& uids,
                                 BroadcastMode mode = BroadcastMode::synced) {
  BroadcastConfig config;
  config.mode = mode;
  for (const std::string& uid : uids)
    config.devices.push_back(DeviceConfig{uid, 1.0f, 0, false});
  return config;
}

class RouterTest : public ::testing::Test {
 protected:
  explicit RouterTest(sim::SimOptions options = routerSimOptions()) : machine(options) {
    // Something to capture: a steady tone (silence is a test of its own).
    machine.system.setSystemMix(sim::SignalSource::sine(440, 0.5f));
  }

  sim::SimAudioSystem& system() { return machine.system; }
  VirtualExecutor& clock() { return machine.clock; }
  double now() { return machine.clock.now(); }

  AudioObjectID plug(sim::DeviceSpec spec) { return machine.system.addDevice(std::move(spec)); }
  void unplug(const std::string& uid) { ASSERT_TRUE(machine.system.removeDevice(uid)) << uid; }

  void createRouter() {
    AudioRouter::Environment environment(machine.system);
    environment.log = &logs.log();
    environment.rateJournal = journal;
    environment.queue = &machine.clock;
    environment.isLaptop = true;
    router = std::make_unique<AudioRouter>(environment);
    eventSubscription = router->events().consume(machine.clock, [this](EngineEvent event) {
      received.push_back(TimedEvent{now(), std::move(event)});
    });
    snapshotSubscription = router->deviceSnapshots().consume(
        machine.clock,
        [this](std::vector<AudioDeviceInfo> list) { snapshots.push_back(std::move(list)); });
    settle();
  }

  // Runs everything that is due now, including what those tasks leave due
  // (a session build moves the clock while it waits for joins).
  void settle() { machine.clock.settle(); }

  void advance(double seconds) {
    machine.clock.advanceBy(seconds);
    settle();
  }

  // Settles, then expects `step` to have finished and rethrows its error.
  void await(std::future<void> step) {
    settle();
    ASSERT_EQ(step.wait_for(std::chrono::seconds(0)), std::future_status::ready)
        << "the router's step did not run";
    step.get();
  }

  void start(const BroadcastConfig& config) { await(router->start(config)); }
  void stop() { await(router->stop()); }
  void startProbe() { await(router->startCaptureProbe()); }
  void stopProbe() { await(router->stopCaptureProbe()); }

  // Events received since the last call.
  std::vector<EngineEvent> takeEvents() {
    settle();
    std::vector<EngineEvent> out;
    for (TimedEvent& timed : received)
      out.push_back(std::move(timed.event));
    received.clear();
    return out;
  }
  std::vector<TimedEvent> takeTimedEvents() {
    settle();
    return std::exchange(received, {});
  }

  std::vector<AudioObjectID> aggregates() const { return machine.system.aggregateIDs(); }
  // The UIDs of the devices in the one aggregate device that exists.
  std::vector<std::string> aggregateMembers() const {
    std::vector<std::string> uids;
    const auto ids = machine.system.aggregateIDs();
    if (ids.size() != 1) return uids;
    const auto description = machine.system.aggregateDescription(ids.front());
    if (!description) return uids;
    for (const auto& sub : (*description)["subdevices"])
      uids.push_back(sub["uid"]);
    return uids;
  }

  void expectNothingLeft() { test::expectNothingLeft(machine.system); }

  TempFolder folder;
  LogCapture logs{folder.path()};
  std::filesystem::path journal = folder / "rate-restore.json";
  sim::SimMachine machine;
  std::vector<TimedEvent> received;
  std::vector<std::vector<AudioDeviceInfo>> snapshots;
  std::unique_ptr<AudioRouter> router;
  StreamSubscription eventSubscription;
  StreamSubscription snapshotSubscription;
};

// The standard pair most tests broadcast to: built-in speakers (the default
// output, 48 kHz, 676 frames) and an HDMI television (48 kHz, 1600 frames).
class TwoDeviceRouterTest : public RouterTest {
 protected:
  void SetUp() override {
    plug(presets::builtInSpeakers());
    plug(presets::hdmiTV());
    createRouter();
  }

  // Broadcasts to both and drops the start's events (what a start reports is
  // AudioRouterTest.StartBuildsTheBroadcastAndReportsTheDevicesPlaying's).
  void startBoth(BroadcastMode mode = BroadcastMode::synced) {
    start(configFor({kSpeakers, kTV}, mode));
    takeEvents();
  }
};

}  // namespace choralink::test

// A simulated machine for tests: the standard four devices on a virtual
// clock, plus helpers that create taps and aggregates the way the engine
// does (description dictionary, tap excluding our own process).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/hal.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"

namespace choralink::sim {

using presets::kAirPlayUID;
using presets::kAirPodsUID;
using presets::kSpeakersUID;
using presets::kTVUID;
using presets::kUSBInterfaceUID;

struct SubEntry {
  std::string uid;
  bool drift = true;
};

// The process object of this process: what a broadcast's tap excludes.
inline AudioObjectID ownProcess(SimAudioSystem& sim) {
  std::int32_t pid = sim.ownPid();
  AudioObjectID process = 0;
  std::uint32_t size = sizeof process;
  EXPECT_EQ(sim.getPropertyData(kSystemObject, HAL::address(kPropProcessObjectForPID), sizeof pid,
                                &pid, size, &process),
            kStatusOK);
  return process;
}

inline AudioObjectID makeTap(SimAudioSystem& sim, bool muted, std::string uuid) {
  TapDescription d = TapDescription::stereoGlobalTapButExcludeProcesses({ownProcess(sim)});
  d.name = "Choralink";
  d.uuid = std::move(uuid);
  d.muteBehavior = muted ? TapMuteBehavior::muted : TapMuteBehavior::unmuted;
  AudioObjectID tap = 0;
  EXPECT_EQ(sim.createProcessTap(d, tap), kStatusOK);
  return tap;
}

inline AggregateDescription description(const std::vector<SubEntry>& subs,
                                        const std::string& master,
                                        const std::vector<std::string>& taps = {},
                                        const std::string& uid = "app.choralink.agg.TEST") {
  AggregateDescription d = {{"name", "Choralink"}, {"uid", uid},       {"private", 1},
                            {"stacked", 0},        {"master", master}, {"tapautostart", 1}};
  d["subdevices"] = nlohmann::json::array();
  for (const auto& s : subs)
    d["subdevices"].push_back({{"uid", s.uid}, {"drift", s.drift ? 1 : 0}});
  d["taps"] = nlohmann::json::array();
  for (const auto& t : taps)
    d["taps"].push_back({{"uid", t}, {"drift", 1}});
  return d;
}

class SimTest : public ::testing::Test {
 protected:
  VirtualExecutor clock{"app.choralink.engine"};
  SimAudioSystem sim{clock};
  presets::StandardMachine machine = presets::addStandardMachine(sim);

  AudioObjectID ownProcess() { return sim::ownProcess(sim); }
  AudioObjectID makeTap(bool muted = false, std::string uuid = "TAP-UUID-1") {
    return sim::makeTap(sim, muted, std::move(uuid));
  }

  AudioObjectID makeAggregate(const AggregateDescription& d) {
    AudioObjectID id = 0;
    EXPECT_EQ(sim.createAggregateDevice(d, id), kStatusOK);
    return id;
  }

  // Waits as the broadcast session does: every 0.05 s, for up to 2 s, until
  // `count` sub-devices are active. Returns whether they were.
  bool waitForJoins(AudioObjectID aggregate, std::size_t count) {
    bool met = false;
    clock.post([&] {
      met = boundedPoll(clock, 0.05, 2.0, [&] {
        return HAL::getArray<std::uint32_t>(sim, aggregate, kPropActiveSubDevices, kScopeGlobal)
                   .size() >= count;
      });
    });
    clock.runDue();
    return met;
  }
};

}  // namespace choralink::sim

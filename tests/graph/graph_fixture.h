// A simulated machine for the broadcast graph's tests, standing up in two or
// three lines: a virtual clock, the simulated audio system on it (IO stepped
// by the test), a private folder for the rate journal and a log that keeps
// every message. Devices are plugged in from presets and described the way
// the device catalog describes them, so sessions get realistic records.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/control/device_catalog.h"
#include "engine/devices/audio_device_info.h"
#include "engine/dispatch/virtual_executor.h"
#include "engine/graph/broadcast_session.h"
#include "engine/graph/rate_journal.h"
#include "engine/hal/hal.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"

namespace choralink::test {

namespace fs = std::filesystem;
namespace presets = sim::presets;

// The engine's record of a simulated device, as the catalog reads it.
inline AudioDeviceInfo describe(sim::SimAudioSystem& system, std::string_view uid) {
  const auto id = system.deviceID(uid);
  const auto info = id ? DeviceCatalog::describe(system, *id, kUnknownObject, false) : std::nullopt;
  if (!info) throw std::invalid_argument("no such listed device");
  return *info;
}

// An aggregate device as a session of ours builds it (on the built-in
// speakers), left behind by a run that ended without its teardown.
inline AudioObjectID leaveAggregate(sim::SimAudioSystem& system, const std::string& uid) {
  const AggregateDescription description = {
      {"name", "Choralink"},
      {"uid", uid},
      {"private", 1},
      {"stacked", 0},
      {"master", presets::kSpeakersUID},
      {"subdevices", {{{"uid", presets::kSpeakersUID}, {"drift", 0}}}},
      {"taps", nlohmann::json::array()},
      {"tapautostart", 1}};
  AudioObjectID id = 0;
  EXPECT_EQ(system.createAggregateDevice(description, id), kStatusOK);
  return id;
}

// Expects `run` to throw exactly `expected`.
template <class Error, class Run>
void expectThrown(Run&& run, const Error& expected) {
  try {
    run();
    ADD_FAILURE() << "no error thrown";
  } catch (const Error& error) {
    EXPECT_EQ(error, expected) << error.what();
  }
}

// Nothing the engine creates is left in the audio system.
inline void expectNothingLeft(const sim::SimAudioSystem& system) {
  const sim::ObjectCounts live = system.liveObjects();
  EXPECT_EQ(live.taps, 0u) << "a process tap was left behind";
  EXPECT_EQ(live.aggregates, 0u) << "an aggregate device was left behind";
  EXPECT_EQ(live.ioProcs, 0u) << "an IO procedure was left registered";
}

class GraphTest : public ::testing::Test {
 protected:
  // A USB headset that runs at 44.1 kHz now and can run at 48 kHz.
  static sim::DeviceSpec headsetAt44k() {
    sim::DeviceSpec spec = presets::usbHeadset();
    spec.nominalRate = 44100;
    return spec;
  }

  // Plugs a device in and returns its record.
  AudioDeviceInfo plug(sim::DeviceSpec spec) {
    const std::string uid = spec.uid;
    sim.addDevice(std::move(spec));
    return describe(sim, uid);
  }

  BroadcastSession::Environment environment() {
    return BroadcastSession::Environment{sim, clock, logs.log(), journal};
  }

  double rateOf(std::string_view uid) const { return sim.device(uid)->nominalRate; }

  RateJournal::Entries journalEntries() const { return RateJournal::load(journal); }

  // The flags of the stream-usage record the aggregate holds for `proc`.
  std::vector<std::uint32_t> streamUsage(AudioObjectID aggregate, IOProcID proc,
                                         std::size_t streams) {
    auto bytes = encodeStreamUsage(proc, std::vector<std::uint32_t>(streams, 0));
    auto size = static_cast<std::uint32_t>(bytes.size());
    EXPECT_EQ(sim.getPropertyData(aggregate, HAL::address(kPropIOProcStreamUsage, kScopeInput), 0,
                                  nullptr, size, bytes.data()),
              kStatusOK);
    const auto usage = decodeStreamUsage(bytes.data(), size);
    return usage ? usage->flags : std::vector<std::uint32_t>{};
  }

  AudioObjectID leaveAggregate(const std::string& uid) { return test::leaveAggregate(sim, uid); }
  void expectNothingLeft() { test::expectNothingLeft(sim); }

  TempFolder folder;
  LogCapture logs{folder.path()};
  VirtualExecutor clock{"app.choralink.engine"};
  sim::SimAudioSystem sim{clock};
  std::filesystem::path journal = folder / "Choralink" / "rate-restore.json";
};

}  // namespace choralink::test

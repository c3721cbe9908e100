// Process taps and aggregate devices: creation from the description
// dictionary, asynchronous joins, stream orders, the stream-usage record,
// and counts that return to zero.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/hal/property_listener.h"
#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

using presets::kAirPodsUID;
using presets::kSpeakersUID;
using presets::kTVUID;
using presets::kUSBInterfaceUID;

std::vector<std::uint32_t> agrp(SimAudioSystem& sim, AudioObjectID id) {
  return HAL::getArray<std::uint32_t>(sim, id, kPropActiveSubDevices, kScopeGlobal);
}

TEST_F(SimTest, TapHasItsUIDAndAFortyByteFormat) {
  const AudioObjectID tap = makeTap(false, "5A1E3B7C-0000-4000-8000-000000000001");
  EXPECT_NE(tap, kUnknownObject);
  EXPECT_EQ(HAL::getString(sim, tap, kPropTapUID), "5A1E3B7C-0000-4000-8000-000000000001");
  StreamFormat format;
  std::uint32_t size = sizeof format;
  ASSERT_EQ(sim.getPropertyData(tap, HAL::address(kPropTapFormat), 0, nullptr, size, &format),
            kStatusOK);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(format.mSampleRate, 48000);
  EXPECT_EQ(format.mChannelsPerFrame, 2u);
  const auto stored = sim.tapDescription(tap);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->name, "Choralink");
  EXPECT_EQ(stored->processes, std::vector<AudioObjectID>{ownProcess()});
  EXPECT_EQ(sim.liveObjects().taps, 1u);
  EXPECT_EQ(sim.destroyProcessTap(tap), kStatusOK);
  EXPECT_EQ(sim.destroyProcessTap(tap), kStatusBadObject);
  EXPECT_EQ(sim.liveObjects().taps, 0u);

  sim.setTapFormat(TapFormat{0, 2, false});  // a tap can report an unknown rate
  const AudioObjectID unknown = makeTap();
  size = sizeof format;
  ASSERT_EQ(sim.getPropertyData(unknown, HAL::address(kPropTapFormat), 0, nullptr, size, &format),
            kStatusOK);
  EXPECT_EQ(format.mSampleRate, 0.0);
}

// Only a muting tap keeps the mix off the speakers; taps of unknown processes
// or of a UUID in use are refused.
TEST_F(SimTest, TapsMuteOnlyWhenAskedAndRefuseUnknownProcessesAndUUIDsInUse) {
  const AudioObjectID unmuted = makeTap(false, "SAME");
  EXPECT_FALSE(sim.systemOutputMuted());
  const AudioObjectID muted = makeTap(true, "B");
  EXPECT_TRUE(sim.systemOutputMuted());
  sim.destroyProcessTap(muted);
  EXPECT_FALSE(sim.systemOutputMuted());

  TapDescription d = TapDescription::stereoGlobalTapButExcludeProcesses({31337});
  d.uuid = "X";
  AudioObjectID tap = 0;
  EXPECT_EQ(sim.createProcessTap(d, tap), kStatusBadObject);
  d.processes = {ownProcess()};
  d.uuid = "SAME";
  EXPECT_EQ(sim.createProcessTap(d, tap), kStatusIllegalOperation);
  sim.destroyProcessTap(unmuted);
}

TEST_F(SimTest, SubDevicesJoinAfterTheirOwnDelays) {
  const AudioObjectID tap = makeTap();
  const AudioObjectID agg =
      makeAggregate(description({{kSpeakersUID, false}, {kAirPodsUID}, {kTVUID}}, kSpeakersUID,
                                {HAL::getString(sim, tap, kPropTapUID)}));
  EXPECT_TRUE(agrp(sim, agg).empty()) << "nothing has joined at creation";
  clock.advanceBy(0.05);  // speakers join after 0.05 s
  EXPECT_EQ(agrp(sim, agg), std::vector<std::uint32_t>{machine.speakers});
  clock.advanceBy(0.1);  // the TV after 0.15 s
  EXPECT_EQ(agrp(sim, agg), (std::vector<std::uint32_t>{machine.speakers, machine.tv}));
  clock.advanceBy(0.25);  // the AirPods after 0.4 s
  EXPECT_EQ(agrp(sim, agg),
            (std::vector<std::uint32_t>{machine.speakers, machine.airPods, machine.tv}))
      << "active sub-devices keep the description's order";
  EXPECT_EQ(sim.joinedSubDevices(agg),
            (std::vector<std::string>{kSpeakersUID, kAirPodsUID, kTVUID}));
}

// A device that never joins leaves the wait to its deadline; one not plugged
// in joins once it is, after its own delay (0.1 s for the interface).
TEST_F(SimTest, AbsentOrRefusingSubDevicesDoNotJoin) {
  sim.modifyDevice(kTVUID, [](DeviceSpec& s) { s.joinsAggregates = false; });
  const AudioObjectID agg = makeAggregate(
      description({{kSpeakersUID, false}, {kTVUID}, {kUSBInterfaceUID}}, kSpeakersUID));
  EXPECT_FALSE(waitForJoins(agg, 2));
  EXPECT_NEAR(clock.now(), 2.0, 1e-9);
  EXPECT_EQ(agrp(sim, agg), std::vector<std::uint32_t>{machine.speakers});
  const AudioObjectID usb = sim.addDevice(presets::usbInterface());
  clock.advanceBy(0.09);
  EXPECT_EQ(agrp(sim, agg).size(), 1u);
  clock.advanceBy(0.01);
  EXPECT_EQ(agrp(sim, agg), (std::vector<std::uint32_t>{machine.speakers, usb}));
}

TEST_F(SimTest, OutputStreamsFollowSubDeviceOrderAndTheTapComesAfterTheInputs) {
  sim.addDevice(presets::usbInterface());  // outputs {2, 2}, input {2}
  const AudioObjectID tap = makeTap();
  const AudioObjectID agg =
      makeAggregate(description({{kUSBInterfaceUID}, {kSpeakersUID, false}}, kSpeakersUID,
                                {HAL::getString(sim, tap, kPropTapUID)}));
  EXPECT_EQ(HAL::streamChannels(sim, agg, kScopeInput), (std::vector<int>{2}))
      << "before any join only the tap's stream is there";
  EXPECT_TRUE(waitForJoins(agg, 2));
  EXPECT_EQ(HAL::streamChannels(sim, agg, kScopeOutput), (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(HAL::streamChannels(sim, agg, kScopeInput), (std::vector<int>{2, 2}));
  EXPECT_EQ(HAL::getArray<std::uint32_t>(sim, agg, kPropStreams, kScopeOutput).size(), 3u);
  EXPECT_EQ(HAL::getArray<std::uint32_t>(sim, agg, kPropStreams, kScopeInput).size(), 2u);
}

TEST_F(SimTest, SplitTapStreamsArriveAsTwoMonoBuffers) {
  sim.setTapFormat(TapFormat{48000, 2, true});
  const AudioObjectID tap = makeTap();
  sim.addDevice(presets::usbInterface());
  const AudioObjectID agg = makeAggregate(description({{kUSBInterfaceUID, false}}, kUSBInterfaceUID,
                                                      {HAL::getString(sim, tap, kPropTapUID)}));
  EXPECT_TRUE(waitForJoins(agg, 1));
  EXPECT_EQ(HAL::streamChannels(sim, agg, kScopeInput), (std::vector<int>{2, 1, 1}));
}

TEST_F(SimTest, AggregateLooksLikeADeviceAndRunsAtItsClockDevicesRate) {
  const AudioObjectID agg =
      makeAggregate(description({{kSpeakersUID}, {kAirPodsUID, false}}, kAirPodsUID));
  const auto devices = HAL::getArray<std::uint32_t>(sim, kSystemObject, kPropDevices, kScopeGlobal);
  EXPECT_NE(std::find(devices.begin(), devices.end(), agg), devices.end());
  EXPECT_EQ(HAL::getString(sim, agg, kPropDeviceUID), "app.choralink.agg.TEST");
  EXPECT_EQ(HAL::getString(sim, agg, kPropName), "Choralink");
  EXPECT_EQ(HAL::get<std::uint32_t>(sim, agg, kPropTransportType, kScopeGlobal),
            kTransportAggregate);
  EXPECT_EQ(HAL::get<double>(sim, agg, kPropNominalSampleRate, kScopeGlobal), 44100.0);
  HAL::set(sim, agg, kPropNominalSampleRate, 48000.0);
  EXPECT_EQ(HAL::get<double>(sim, agg, kPropNominalSampleRate, kScopeGlobal), 48000.0);
  EXPECT_EQ(sim.deviceID("app.choralink.agg.TEST"), agg);
  const auto stored = sim.aggregateDescription(agg);
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)["master"], kAirPodsUID);
}

TEST_F(SimTest, UnpluggedOrDeadSubDeviceLeavesAndRejoinsAfterItsDelay) {
  const AudioObjectID agg =
      makeAggregate(description({{kSpeakersUID, false}, {kTVUID}}, kSpeakersUID));
  ASSERT_TRUE(waitForJoins(agg, 2));
  clock.runDue();  // the join notices that fell due while the wait blocked the queue
  int shapeChanges = 0;
  PropertyListener listener(sim, agg, kPropActiveSubDevices, kScopeGlobal, clock,
                            [&] { ++shapeChanges; });
  sim.removeDevice(kTVUID);
  EXPECT_EQ(agrp(sim, agg), std::vector<std::uint32_t>{machine.speakers});
  EXPECT_EQ(HAL::streamChannels(sim, agg, kScopeOutput), (std::vector<int>{2}));
  const AudioObjectID tv = sim.addDevice(presets::hdmiTV());
  clock.advanceBy(0.2);
  EXPECT_EQ(agrp(sim, agg), (std::vector<std::uint32_t>{machine.speakers, tv}));
  EXPECT_EQ(shapeChanges, 2) << "one notice when it left, one when it joined again";

  // A dead device leaves too, until it is alive again.
  sim.setAlive(kTVUID, false);
  EXPECT_EQ(agrp(sim, agg).size(), 1u);
  sim.setAlive(kTVUID, true);
  clock.advanceBy(0.15);
  EXPECT_EQ(agrp(sim, agg).size(), 2u);
}

TEST_F(SimTest, MalformedDescriptionsAreRefused) {
  AudioObjectID id = 0;
  EXPECT_EQ(sim.createAggregateDevice(nlohmann::json::array(), id), kStatusIllegalOperation);
  auto noUID = description({{kSpeakersUID}}, kSpeakersUID);
  noUID.erase("uid");
  EXPECT_EQ(sim.createAggregateDevice(noUID, id), kStatusIllegalOperation);
  auto badSubs = description({{kSpeakersUID}}, kSpeakersUID);
  badSubs["subdevices"] = "BuiltInSpeakerDevice";
  EXPECT_EQ(sim.createAggregateDevice(badSubs, id), kStatusIllegalOperation);
  auto badDrift = description({{kSpeakersUID}}, kSpeakersUID);
  badDrift["subdevices"][0]["drift"] = "yes";
  EXPECT_EQ(sim.createAggregateDevice(badDrift, id), kStatusIllegalOperation);
  auto stacked = description({{kSpeakersUID}}, kSpeakersUID);
  stacked["stacked"] = 1;
  EXPECT_EQ(sim.createAggregateDevice(stacked, id), kStatusUnsupportedOperation);
  auto clash = description({{kSpeakersUID}}, kSpeakersUID, {}, kTVUID);
  EXPECT_EQ(sim.createAggregateDevice(clash, id), kStatusIllegalOperation);
  makeAggregate(description({{kSpeakersUID}}, kSpeakersUID));
  EXPECT_EQ(sim.createAggregateDevice(description({{kTVUID}}, kTVUID), id), kStatusIllegalOperation)
      << "the same UID twice";
  EXPECT_EQ(sim.liveObjects().aggregates, 1u);
}

TEST_F(SimTest, StreamUsageRecordRoundTripsPerProcedure) {
  const AudioObjectID tap = makeTap();
  const AudioObjectID agg = makeAggregate(
      description({{kSpeakersUID, false}}, kSpeakersUID, {HAL::getString(sim, tap, kPropTapUID)}));
  sim.modifyDevice(kSpeakersUID, [](DeviceSpec& s) { s.inputStreams = {1}; });
  ASSERT_TRUE(waitForJoins(agg, 1));
  IOProcID proc = kNoIOProc;
  ASSERT_EQ(sim.createIOProcID(agg, cl_ioproc, nullptr, proc), kStatusOK);
  const auto record = encodeStreamUsage(proc, {0, 1});
  const auto addr = HAL::address(kPropIOProcStreamUsage, kScopeInput);
  EXPECT_EQ(
      sim.setPropertyData(agg, addr, static_cast<std::uint32_t>(record.size()), record.data()),
      kStatusOK);
  auto readBack = encodeStreamUsage(proc, {9, 9});
  std::uint32_t size = static_cast<std::uint32_t>(readBack.size());
  ASSERT_EQ(sim.getPropertyData(agg, addr, 0, nullptr, size, readBack.data()), kStatusOK);
  EXPECT_EQ(decodeStreamUsage(readBack.data(), size)->flags, (std::vector<std::uint32_t>{0, 1}));

  const auto stranger = encodeStreamUsage(proc + 1, {1, 1});
  EXPECT_EQ(
      sim.setPropertyData(agg, addr, static_cast<std::uint32_t>(stranger.size()), stranger.data()),
      kStatusIllegalOperation);
  EXPECT_EQ(sim.setPropertyData(agg, addr, 11, record.data()), kStatusBadPropertySize);
  EXPECT_EQ(sim.setPropertyData(agg, HAL::address(kPropIOProcStreamUsage, kScopeOutput),
                                static_cast<std::uint32_t>(record.size()), record.data()),
            kStatusUnknownProperty);
  EXPECT_EQ(sim.destroyIOProcID(agg, proc), kStatusOK);
}

TEST_F(SimTest, DestroyingTheAggregateTakesItsProceduresAlongAndCountsReturnToZero) {
  const AudioObjectID tap = makeTap();
  const AudioObjectID agg = makeAggregate(
      description({{kSpeakersUID, false}}, kSpeakersUID, {HAL::getString(sim, tap, kPropTapUID)}));
  IOProcID proc = kNoIOProc;
  ASSERT_EQ(sim.createIOProcID(agg, cl_ioproc, nullptr, proc), kStatusOK);
  EXPECT_EQ(sim.liveObjects(), (ObjectCounts{1, 1, 1, 0}));
  EXPECT_EQ(sim.destroyAggregateDevice(agg), kStatusOK);
  EXPECT_EQ(sim.destroyAggregateDevice(agg), kStatusBadObject);
  EXPECT_EQ(sim.destroyProcessTap(tap), kStatusOK);
  EXPECT_EQ(sim.liveObjects(), ObjectCounts{});
  EXPECT_EQ(HAL::getArray<std::uint32_t>(sim, kSystemObject, kPropDevices, kScopeGlobal).size(),
            4u);
}

}  // namespace
}  // namespace choralink::sim

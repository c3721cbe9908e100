// Process taps and aggregate devices: the refusals, the description
// dictionary's rules, asynchronous joins and the split tap. What a session
// reads back from them (description, stream orders, the stream-usage record,
// counts back at zero) is pinned by the broadcast graph's suites.
#include <gtest/gtest.h>

#include "engine/hal/property_listener.h"
#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

std::vector<std::uint32_t> agrp(SimAudioSystem& sim, AudioObjectID id) {
  return HAL::getArray<std::uint32_t>(sim, id, kPropActiveSubDevices, kScopeGlobal);
}

// Which taps mute is pinned by the broadcast graph's and the router's suites;
// here the refusals: taps of unknown processes or of a UUID in use.
TEST_F(SimTest, TapsOfUnknownProcessesOrOfAUUIDInUseAreRefused) {
  const AudioObjectID first = makeTap(false, "SAME");
  TapDescription d = TapDescription::stereoGlobalTapButExcludeProcesses({31337});
  d.uuid = "X";
  AudioObjectID tap = 0;
  EXPECT_EQ(sim.createProcessTap(d, tap), kStatusBadObject);
  d.processes = {ownProcess()};
  d.uuid = "SAME";
  EXPECT_EQ(sim.createProcessTap(d, tap), kStatusIllegalOperation);
  sim.destroyProcessTap(first);
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

TEST_F(SimTest, SplitTapStreamsArriveAsTwoMonoBuffers) {
  sim.setTapFormat(TapFormat{48000, 2, true});
  const AudioObjectID tap = makeTap();
  sim.addDevice(presets::usbInterface());
  const AudioObjectID agg = makeAggregate(description({{kUSBInterfaceUID, false}}, kUSBInterfaceUID,
                                                      {HAL::getString(sim, tap, kPropTapUID)}));
  EXPECT_TRUE(waitForJoins(agg, 1));
  EXPECT_EQ(HAL::streamChannels(sim, agg, kScopeInput), (std::vector<int>{2, 1, 1}));
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

}  // namespace
}  // namespace choralink::sim

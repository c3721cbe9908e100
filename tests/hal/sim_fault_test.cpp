// Injected failures: any operation, or any property access of one object or
// of all, fails with the chosen status as often as asked.
#include <gtest/gtest.h>

#include "engine/hal/property_listener.h"
#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

using presets::kSpeakersUID;

TEST_F(SimTest, AnOperationFailsTheChosenNumberOfTimes) {
  sim.failOperation(Operation::createAggregateDevice, kStatusUnspecified, 2);
  AudioObjectID id = 0;
  const auto d = description({{kSpeakersUID}}, kSpeakersUID);
  EXPECT_EQ(sim.createAggregateDevice(d, id), kStatusUnspecified);
  EXPECT_EQ(sim.createAggregateDevice(d, id), kStatusUnspecified);
  EXPECT_EQ(sim.liveObjects().aggregates, 0u) << "a failed creation leaves nothing";
  EXPECT_EQ(sim.createAggregateDevice(d, id), kStatusOK);
}

TEST_F(SimTest, OnePropertyOfOneObjectFailsWhileOthersRead) {
  sim.failProperty(PropertyFault{machine.tv, kPropNominalSampleRate, std::nullopt, Access::read,
                                 kStatusBadDevice, kAlways});
  double rate = 0;
  std::uint32_t size = sizeof rate;
  EXPECT_EQ(sim.getPropertyData(machine.tv, HAL::address(kPropNominalSampleRate), 0, nullptr, size,
                                &rate),
            kStatusBadDevice);
  EXPECT_EQ(HAL::get<double>(sim, machine.speakers, kPropNominalSampleRate, kScopeGlobal), 48000.0);
  // A read fault does not touch writes.
  HAL::set(sim, machine.tv, kPropNominalSampleRate, 44100.0);
}

TEST_F(SimTest, PropertyFaultsSelectByAccessScopeAndObject) {
  // Writes of the rate fail on every device, once each call, twice in all.
  sim.failProperty(PropertyFault{std::nullopt, kPropNominalSampleRate, std::nullopt, Access::write,
                                 kStatusUnspecified, 2});
  EXPECT_THROW(HAL::set(sim, machine.speakers, kPropNominalSampleRate, 44100.0), HALError);
  EXPECT_THROW(HAL::set(sim, machine.tv, kPropNominalSampleRate, 44100.0), HALError);
  EXPECT_NO_THROW(HAL::set(sim, machine.tv, kPropNominalSampleRate, 44100.0));

  // Only the output-scope stream configuration, only its size query.
  sim.failProperty(PropertyFault{machine.speakers, kPropStreamConfiguration, kScopeOutput,
                                 Access::size, kStatusUnspecified, kAlways});
  EXPECT_TRUE(HAL::streamChannels(sim, machine.speakers, kScopeOutput).empty());
  EXPECT_EQ(HAL::streamChannels(sim, machine.tv, kScopeOutput), (std::vector<int>{2}));

  // The size query succeeds but the read fails: getArray reports "get".
  sim.failProperty(PropertyFault{kSystemObject, kPropDevices, std::nullopt, Access::read,
                                 kStatusUnspecified, 1});
  try {
    HAL::getArray<std::uint32_t>(sim, kSystemObject, kPropDevices, kScopeGlobal);
    FAIL();
  } catch (const HALError& e) {
    EXPECT_EQ(e.operation(), "get 'dev#' (1684370979)");
  }
  EXPECT_EQ(HAL::getArray<std::uint32_t>(sim, kSystemObject, kPropDevices, kScopeGlobal).size(),
            4u);
}

TEST_F(SimTest, OperationFaultsOnReadsHitEveryProperty) {
  sim.failOperation(Operation::getPropertyData, kStatusNotRunning, 1);
  EXPECT_THROW(HAL::getString(sim, machine.tv, kPropDeviceUID), HALError);
  EXPECT_EQ(HAL::getString(sim, machine.tv, kPropDeviceUID), presets::kTVUID);
  sim.failOperation(Operation::getPropertyDataSize, kStatusNotRunning, 1);
  EXPECT_TRUE(HAL::streamChannels(sim, machine.tv, kScopeOutput).empty());
}

}  // namespace
}  // namespace choralink::sim

// The simulated machine seen exactly as the engine sees it: through the HAL
// helpers. Devices, their properties, hot-plug and default-output changes,
// and listener delivery on the registering queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "engine/hal/property_listener.h"
#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

TEST_F(SimTest, ScopedPropertiesAnswerOnlyInTheirScopes) {
  EXPECT_THROW(HAL::get<std::uint32_t>(sim, machine.tv, kPropLatency, kScopeGlobal), HALError);
  EXPECT_THROW(
      HAL::getArray<std::uint32_t>(sim, machine.tv, kPropPreferredStereoChannels, kScopeInput),
      HALError);
  EXPECT_TRUE(HAL::streamChannels(sim, machine.tv, kScopeGlobal).empty());
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  EXPECT_EQ(sim.getPropertyData(machine.tv, HAL::address(kPropProcessorOverload), 0, nullptr, size,
                                &value),
            kStatusUnknownProperty)
      << "a notification, never read";
  EXPECT_EQ(sim.getPropertyData(9999, HAL::address(kPropDeviceIsAlive), 0, nullptr, size, &value),
            kStatusBadObject);
}

TEST_F(SimTest, FixedSizeValuesRefuseSmallBuffersAndArraysAreCut) {
  double rate = 0;
  std::uint32_t size = 4;
  EXPECT_EQ(sim.getPropertyData(machine.tv, HAL::address(kPropNominalSampleRate), 0, nullptr, size,
                                &rate),
            kStatusBadPropertySize);
  std::uint32_t ids[2] = {};
  size = sizeof ids;
  EXPECT_EQ(sim.getPropertyData(kSystemObject, HAL::address(kPropDevices), 0, nullptr, size, ids),
            kStatusOK);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(ids[1], machine.airPods);
}

TEST_F(SimTest, UnplugKillsTheDeviceThenRemovesItAndMovesTheDefault) {
  std::vector<std::string> log;
  PropertyListener devices(sim, kSystemObject, kPropDevices, kScopeGlobal, clock,
                           [&] { log.push_back("dev#"); });
  PropertyListener defaultOut(sim, kSystemObject, kPropDefaultOutputDevice, kScopeGlobal, clock,
                              [&] { log.push_back("dOut"); });
  PropertyListener alive(sim, machine.tv, kPropDeviceIsAlive, kScopeGlobal, clock,
                         [&] { log.push_back("livn"); });
  ASSERT_TRUE(sim.setDefaultOutput(kTVUID));
  clock.runDue();
  log.clear();

  ASSERT_TRUE(sim.removeDevice(kTVUID));
  clock.runDue();
  EXPECT_EQ(log, (std::vector<std::string>{"livn", "dev#", "dOut"}));
  EXPECT_EQ(sim.defaultOutputUID(), kSpeakersUID);  // built-in wins the fallback
  EXPECT_THROW(HAL::getString(sim, machine.tv, kPropDeviceUID), HALError);
  EXPECT_FALSE(sim.removeDevice(kTVUID));

  const AudioObjectID again = sim.addDevice(presets::hdmiTV());
  EXPECT_NE(again, machine.tv) << "a replugged device is a new object";
  EXPECT_EQ(HAL::getString(sim, again, kPropDeviceUID), kTVUID);
  EXPECT_EQ(sim.defaultOutputUID(), kSpeakersUID);
}

TEST_F(SimTest, DefaultOutputChangesNotifyAndRequireAnOutputDevice) {
  int changes = 0;
  PropertyListener listener(sim, kSystemObject, kPropDefaultOutputDevice, kScopeGlobal, clock,
                            [&] { ++changes; });
  EXPECT_TRUE(sim.setDefaultOutput(kAirPodsUID));
  EXPECT_TRUE(sim.setDefaultOutput(kAirPodsUID));  // no change, no notice
  DeviceSpec mic = presets::usbHeadset();
  mic.uid = "MIC";
  mic.outputStreams.clear();
  sim.addDevice(mic);
  EXPECT_FALSE(sim.setDefaultOutput("MIC"));
  EXPECT_FALSE(sim.setDefaultOutput("nobody"));
  clock.runDue();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(HAL::get<std::uint32_t>(sim, kSystemObject, kPropDefaultOutputDevice, kScopeGlobal),
            machine.airPods);
}

TEST_F(SimTest, LastDeviceGoneLeavesNoDefaultAndTheFirstNewOneBecomesIt) {
  for (const char* uid : {kSpeakersUID, kAirPodsUID, kTVUID, kAirPlayUID})
    sim.removeDevice(uid);
  EXPECT_EQ(HAL::get<std::uint32_t>(sim, kSystemObject, kPropDefaultOutputDevice, kScopeGlobal),
            0u);
  EXPECT_TRUE(HAL::getArray<std::uint32_t>(sim, kSystemObject, kPropDevices, kScopeGlobal).empty());
  sim.addDevice(presets::usbHeadset());
  EXPECT_EQ(sim.defaultOutputUID(), presets::kUSBHeadsetUID);
}

TEST_F(SimTest, AliveHiddenAndAnyChangedPropertyNotify) {
  std::vector<std::string> log;
  std::vector<PropertyListener> listeners;
  for (auto [sel, scope, name] : {std::tuple{kPropDeviceIsAlive, kScopeGlobal, "livn"},
                                  std::tuple{kPropIsHidden, kScopeGlobal, "hidn"},
                                  std::tuple{kPropName, kScopeGlobal, "lnam"},
                                  std::tuple{kPropStreamConfiguration, kScopeOutput, "slay"},
                                  std::tuple{kPropLatency, kScopeOutput, "ltnc"}}) {
    listeners.emplace_back(sim, machine.tv, sel, scope, clock,
                           [&log, name = std::string(name)] { log.push_back(name); });
  }
  sim.setAlive(kTVUID, false);
  sim.setHidden(kTVUID, true);
  sim.modifyDevice(kTVUID, [](DeviceSpec& s) {
    s.name = "Bedroom TV";
    s.outputStreams = {2, 6};
    s.latencyFrames = 2048;
  });
  clock.runDue();
  EXPECT_EQ(log, (std::vector<std::string>{"livn", "hidn", "lnam", "ltnc", "slay"}));
}

TEST_F(SimTest, DuplicateOrEmptyUIDsAreRefused) {
  EXPECT_THROW(sim.addDevice(presets::hdmiTV()), std::invalid_argument);
  DeviceSpec nameless;
  EXPECT_THROW(sim.addDevice(nameless), std::invalid_argument);
}

// Removal stops even a delivery already queued.
TEST_F(SimTest, ListenersAreDeliveredOnTheirOwnQueueUntilRemoved) {
  VirtualExecutor other("other");
  int onEngine = 0, onOther = 0, removed = 0;
  PropertyListener a(sim, kSystemObject, kPropDevices, kScopeGlobal, clock, [&] { ++onEngine; });
  PropertyListener b(sim, kSystemObject, kPropDevices, kScopeGlobal, other, [&] { ++onOther; });
  PropertyListener c(sim, kSystemObject, kPropDevices, kScopeGlobal, clock, [&] { ++removed; });
  sim.addDevice(presets::usbHeadset());  // queued on the clocks, not yet run
  c.remove();
  clock.runDue();
  EXPECT_EQ(std::tuple(onEngine, onOther, removed), std::tuple(1, 0, 0));
  other.runDue();
  EXPECT_EQ(onOther, 1);
  EXPECT_EQ(sim.liveObjects().listeners, 2u);
}

TEST_F(SimTest, ListenerRegistrationRulesAndCounts) {
  auto block = std::make_shared<PropertyListenerBlock::element_type>(
      [](AudioObjectID, const std::vector<PropertyAddress>&) {});
  const auto addr = HAL::address(kPropDeviceIsAlive);
  EXPECT_EQ(sim.addPropertyListener(machine.tv, addr, clock, block), kStatusOK);
  EXPECT_EQ(sim.addPropertyListener(machine.tv, addr, clock, block), kStatusIllegalOperation);
  EXPECT_EQ(sim.addPropertyListener(4242, addr, clock, block), kStatusBadObject);
  EXPECT_EQ(sim.liveObjects().listeners, 1u);
  // Removal needs the same block, object, address and queue …
  auto otherBlock = std::make_shared<PropertyListenerBlock::element_type>(*block);
  EXPECT_EQ(sim.removePropertyListener(machine.tv, addr, clock, otherBlock),
            kStatusIllegalOperation);
  // … and still works after the device is gone, so no registration leaks.
  sim.removeDevice(kTVUID);
  EXPECT_EQ(sim.removePropertyListener(machine.tv, addr, clock, block), kStatusOK);
  EXPECT_EQ(sim.liveObjects().listeners, 0u);
}

}  // namespace
}  // namespace choralink::sim

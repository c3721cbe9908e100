// Injected failures: any operation, or any property access of one object or
// of all, fails with the chosen status as often as asked. The broadcast
// graph's and the router's suites drive the faults they inject (creations,
// destructions, rate reads and writes, tap properties, stream layouts) and
// fail when one does not fire; here the selections nothing else tells apart.
#include <gtest/gtest.h>

#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

TEST_F(SimTest, FaultsSelectByAccessScopeAndObjectAndRunOut) {
  // Only the output-scope stream configuration of one device, only its size query.
  const AudioObjectID usb = sim.addDevice(presets::usbInterface());
  sim.failProperty(PropertyFault{usb, kPropStreamConfiguration, kScopeOutput, Access::size,
                                 kStatusUnspecified, kAlways});
  EXPECT_TRUE(HAL::streamChannels(sim, usb, kScopeOutput).empty());
  EXPECT_EQ(HAL::streamChannels(sim, usb, kScopeInput), (std::vector<int>{2}));
  EXPECT_EQ(HAL::streamChannels(sim, machine.tv, kScopeOutput), (std::vector<int>{2}));

  // A fault of the read operation hits every property, as often as asked.
  sim.failOperation(Operation::getPropertyData, kStatusNotRunning, 1);
  EXPECT_THROW(HAL::getString(sim, machine.tv, kPropDeviceUID), HALError);
  EXPECT_EQ(HAL::getString(sim, machine.tv, kPropDeviceUID), presets::kTVUID);
}

}  // namespace
}  // namespace choralink::sim

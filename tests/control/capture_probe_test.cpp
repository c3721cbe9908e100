// The capture probe on the simulated machine: which device hosts it, that it
// listens without being heard, that it never disturbs a broadcast, and how it
// ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/hal/hal_error.h"
#include "tests/control/router_fixture.h"

namespace choralink::test {
namespace {

class CaptureProbeTest : public RouterTest {};

// ---- The device it runs on -----------------------------------------------------------

TEST_F(CaptureProbeTest, PrefersBuiltInThenAnyWiredDeviceThenBluetooth) {
  plug(presets::airPlaySpeaker());
  createRouter();
  for (const auto& device :
       {presets::airPods(), presets::usbInterface(), presets::builtInSpeakers()}) {
    plug(device);  // each better than those before
    startProbe();
    EXPECT_THAT(aggregateMembers(), ElementsAre(device.uid));
    stopProbe();
  }
  expectNothingLeft();
}

// Without a supported output, or when the device will not start, the probe
// fails and leaves nothing behind.
TEST_F(CaptureProbeTest, AProbeThatCannotStartLeavesNothing) {
  plug(presets::airPlaySpeaker());
  createRouter();
  for (const char* operation : {"No output device", "AudioDeviceStart"}) {
    try {
      startProbe();
      ADD_FAILURE() << "the probe should not start";
    } catch (const HALError& error) {
      EXPECT_EQ(error.operation(), operation);
    }
    EXPECT_FALSE(router->callbackHasRun());
    EXPECT_THAT(router->levels(), IsEmpty());
    expectNothingLeft();
    if (std::string_view(operation) == "No output device") {  // next: a device that fails
      plug(presets::builtInSpeakers());
      system().failOperation(sim::Operation::startDevice, kStatusIllegalOperation, 1);
    }
  }
}

// ---- What it measures ------------------------------------------------------------------------

TEST_F(CaptureProbeTest, ListensToTheSystemWithoutPlayingAnythingItself) {
  plug(presets::builtInSpeakers());
  createRouter();
  startProbe();
  EXPECT_FALSE(system().systemOutputMuted()) << "the system keeps playing normally";
  advance(0.5);
  EXPECT_TRUE(router->callbackHasRun());
  EXPECT_NEAR(router->inputLevel(), 0.5f, 0.01f);
  const auto levels = router->levels();
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(levels.at(kSpeakers), 0.0f) << "the probe's own output is silent";
  EXPECT_FALSE(router->isRunning());

  // Parameter calls do not reach the probe's render state.
  router->update(configFor({kSpeakers}));
  router->setVolume(kSpeakers, 1.0f);
  router->setMasterVolume(1.0f);
  advance(0.5);
  EXPECT_EQ(router->levels().at(kSpeakers), 0.0f);

  stopProbe();
  EXPECT_FALSE(router->callbackHasRun());
  expectNothingLeft();
  EXPECT_THAT(takeEvents(), IsEmpty()) << "a probe sends no events";
}

// Neither a callback that never runs nor a device change makes it rebuild.
TEST_F(CaptureProbeTest, IsNotSupervised) {
  plug(presets::builtInSpeakers());
  createRouter();
  system().setIODriver(sim::IODriver::manual);  // the callback never runs
  startProbe();
  advance(60);
  EXPECT_THAT(takeEvents(), IsEmpty());
  plug(presets::usbInterface());
  advance(2);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_THAT(aggregateMembers(), ElementsAre(kSpeakers));
  EXPECT_FALSE(router->callbackHasRun());
}

// ---- Living beside broadcasts ----------------------------------------------------------------

class ProbeAndBroadcastTest : public TwoDeviceRouterTest {};

TEST_F(ProbeAndBroadcastTest, NeverDisturbsARunningBroadcast) {
  start(configFor({kTV}));
  const auto aggregate = aggregates();
  startProbe();
  stopProbe();
  EXPECT_EQ(aggregates(), aggregate);
  EXPECT_TRUE(router->isRunning());
  advance(1);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kTV})));
}

TEST_F(ProbeAndBroadcastTest, DoesNothingWhileABroadcastIsWanted) {
  // Stalled and torn down: the watchdog's restart is pending, no session.
  system().setCaptureBlocked(true);
  start(configFor({kTV}));
  advance(10.5);
  ASSERT_THAT(aggregates(), IsEmpty());
  startProbe();
  EXPECT_THAT(aggregates(), IsEmpty());
}

TEST_F(ProbeAndBroadcastTest, ABroadcastStartReplacesTheProbeQuietly) {
  startProbe();
  start(configFor({kTV}));
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kTV})));
  EXPECT_TRUE(router->isRunning());
  EXPECT_THAT(aggregateMembers(), ElementsAre(kTV));
  stopProbe();  // nothing to stop: the broadcast stays
  EXPECT_TRUE(router->isRunning());
}

TEST_F(ProbeAndBroadcastTest, SleepEndsTheProbeWithoutAnEventAndWakeDoesNotBringItBack) {
  startProbe();
  router->systemWillSleep();
  settle();
  EXPECT_TRUE(logs.contains(LogLevel::info, "Sleep: stopping capture probe"));
  expectNothingLeft();
  router->systemDidWake();
  advance(3);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_THAT(aggregates(), IsEmpty());
}

}  // namespace
}  // namespace choralink::test

// The router's public face on a simulated machine: what construction does to
// the system, starting and stopping, live updates against rebuilds, the
// parameter path and its clamping, the meters, and the errors that reach the
// caller. Everything on virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "engine/graph/rate_journal.h"
#include "engine/hal/hal_error.h"
#include "tests/control/router_fixture.h"

namespace choralink::test {
namespace {

class AudioRouterTest : public TwoDeviceRouterTest {};

// ---- Construction ------------------------------------------------------------

class RouterConstructionTest : public RouterTest {};

TEST_F(RouterConstructionTest, RestoresJournalledRatesRemovesLeftoversAndPublishesTheDevices) {
  plug(presets::builtInSpeakers());  // at 48000 Hz now
  plug(presets::hdmiTV());
  RateJournal::save({{kSpeakers, 44100}}, journal);
  leaveAggregate(system(), "app.choralink.agg.FROM-A-CRASH");

  createRouter();

  // What each step does is RateJournalTest's, BroadcastSessionTest's and
  // DeviceCatalogTest's; the router's is that all three run, in this order:
  // journal, leftovers, then the catalog's first list.
  EXPECT_FALSE(snapshots.empty());
  EXPECT_THAT(aggregates(), IsEmpty());
  EXPECT_THAT(logs.messages(),
              ElementsAre("Rate journal: restored BuiltInSpeakerDevice to 44100 Hz after an "
                          "unclean exit",
                          "Destroying leftover aggregate app.choralink.agg.FROM-A-CRASH",
                          "Devices: MacBook Pro Speakers [Built-in, 2ch, 44100 Hz, 15 ms]; "
                          "Living Room TV [HDMI, 2ch, 48000 Hz, 33 ms]"));
  EXPECT_THAT(takeEvents(), IsEmpty());
}

TEST_F(RouterConstructionTest, AMachineWithoutDevicesStillPublishesAnEmptyList) {
  createRouter();
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_THAT(snapshots.front(), IsEmpty());
}

// ---- Start and stop ------------------------------------------------------------

// Each device plays at master times its own volume from the first cycle.
TEST_F(AudioRouterTest, StartBuildsTheBroadcastAndReportsTheDevicesPlaying) {
  BroadcastConfig config = configFor({kSpeakers, kTV});
  config.devices[0].volume = 0.5f;
  config.masterVolume = 0.8f;
  start(config);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kSpeakers, kTV})));
  EXPECT_TRUE(router->isRunning());
  EXPECT_THAT(aggregateMembers(), ElementsAre(kSpeakers, kTV));
  EXPECT_TRUE(system().systemOutputMuted()) << "synced mode mutes the system's own output";
  EXPECT_TRUE(
      logs.contains(LogLevel::info,
                    "Broadcast start (start), mode=synced: MacBook Pro Speakers, Living Room TV"));

  advance(0.5);
  EXPECT_NEAR(router->inputLevel(), 0.5f, 0.01f);
  const auto levels = router->levels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_NEAR(levels.at(kSpeakers), 0.5f * 0.8f * 0.5f, 0.01f);
  EXPECT_NEAR(levels.at(kTV), 0.5f * 0.8f, 0.01f);
}

TEST_F(AudioRouterTest, StartWhileRunningReplacesTheBroadcast) {
  startBoth();
  const auto first = aggregates();
  start(configFor({kTV}));
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({kTV})));
  EXPECT_NE(aggregates(), first);
  EXPECT_EQ(system().liveObjects().aggregates, 1u);
}

TEST_F(AudioRouterTest, StopTearsEverythingDownAndReportsTheUser) {
  startBoth();
  stop();
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::user())));
  EXPECT_FALSE(router->isRunning());
  EXPECT_THAT(router->levels(), IsEmpty());
  EXPECT_FALSE(system().systemOutputMuted());
  expectNothingLeft();
  EXPECT_EQ(system().liveObjects().listeners, 3u)
      << "only the catalog's two listeners and the sound server's remain";
}

// Which of the chosen devices play, and what the application hears about the
// others: absent devices end with noDevices (not an error), AirPlay is never
// chosen, a device listed twice joins once, one that cannot join is reported.
TEST_F(AudioRouterTest, OnlyPresentSupportedJoiningDevicesPlayOnce) {
  auto usb = presets::usbInterface();
  usb.joinsAggregates = false;
  plug(usb);
  plug(presets::airPlaySpeaker());
  using Events = std::vector<EngineEvent>;
  const std::vector<std::pair<std::vector<std::string>, Events>> cases{
      {{"Unplugged-Device"}, {EngineEvent::stopped(StopReason::noDevices())}},
      {{presets::kAirPlayUID, kTV}, {EngineEvent::started({kTV})}},
      {{kTV, kTV}, {EngineEvent::started({kTV})}},
      {{kTV, kUSB},
       {EngineEvent::deviceSkipped(kUSB, "Studio Interface couldn't join the broadcast"),
        EngineEvent::started({kTV})}},
  };
  for (const auto& [uids, events] : cases) {
    SCOPED_TRACE(::testing::PrintToString(uids));
    start(configFor(uids));
    EXPECT_EQ(takeEvents(), events);
    if (uids.size() == 1) {
      EXPECT_FALSE(router->isRunning());
      expectNothingLeft();
    } else if (uids[0] == uids[1]) {
      EXPECT_THAT(aggregateMembers(), ElementsAre(kTV));
    }
    stop();
    takeEvents();
  }
  stop();
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::user())))
      << "stopping while idle still reports the user";
}

// A start that fails at any step goes to the caller, sends no event and
// leaves nothing behind; nothing is wanted afterwards, so a device change
// rebuilds nothing.
TEST_F(AudioRouterTest, AFailedStartGoesToTheCallerWithoutAStoppedEvent) {
  const std::vector<std::tuple<sim::Operation, HALStatus, std::string>> failures{
      {sim::Operation::createAggregateDevice, kStatusUnspecified,
       "AudioHardwareCreateAggregateDevice"},
      {sim::Operation::startDevice, kStatusIllegalOperation, "AudioDeviceStart"}};
  for (const auto& [operation, status, name] : failures) {
    SCOPED_TRACE(name);
    system().failOperation(operation, status, 1);
    auto step = router->start(configFor({kTV}));
    try {
      await(std::move(step));
      ADD_FAILURE() << "start should have failed";
    } catch (const HALError& error) {
      EXPECT_EQ(error.operation(), name);
      EXPECT_EQ(error.status(), status);
    }
    EXPECT_THAT(takeEvents(), IsEmpty());
    EXPECT_FALSE(router->isRunning());
    expectNothingLeft();
  }
  plug(presets::usbInterface());
  advance(2);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_THAT(aggregates(), IsEmpty());
}

TEST_F(AudioRouterTest, CompletionsAreCalledOnceOnTheQueueWithTheStepsError) {
  std::vector<std::exception_ptr> results;
  router->stop([&](std::exception_ptr error) {
    EXPECT_TRUE(clock().isCurrent());
    results.push_back(error);
  });
  system().failOperation(sim::Operation::createProcessTap, kStatusPermissions, 1);
  router->start(configFor({kTV}), [&](std::exception_ptr error) { results.push_back(error); });
  settle();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], nullptr);
  ASSERT_NE(results[1], nullptr);
  EXPECT_THROW(std::rethrow_exception(results[1]), HALError);
}

// ---- Live changes and rebuilds -----------------------------------------------------

// A new order, master volume, device volume and offset all reach the playing
// devices without a rebuild.
TEST_F(AudioRouterTest, LiveChangesReachThePlayingDevicesWithoutARebuild) {
  startBoth();
  const auto aggregate = aggregates();
  BroadcastConfig reordered = configFor({kTV, kSpeakers});
  reordered.masterVolume = 0.5f;
  router->update(reordered);
  router->setVolume(kTV, 0.2f);
  router->setOffset(kSpeakers, 100, true);
  advance(0.5);
  (void)router->levels();  // the peaks of the old gain
  advance(0.5);
  const auto levels = router->levels();
  EXPECT_NEAR(levels.at(kSpeakers), 0.25f, 0.01f);
  EXPECT_NEAR(levels.at(kTV), 0.05f, 0.005f);
  EXPECT_EQ(router->delayBreakdown().at(kSpeakers), (LatencyModel::Output{924, 5724}));
  advance(1);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_EQ(aggregates(), aggregate) << "no rebuild";
}

TEST_F(AudioRouterTest, UpdateThatChangesTheModeRebuildsAfterTheDelay) {
  startBoth();
  router->update(configFor({kSpeakers, kTV}, BroadcastMode::mirror));
  advance(0.24);
  EXPECT_THAT(takeEvents(), IsEmpty());
  advance(0.02);
  // The speakers are the default output: in mirror mode they play directly.
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({kTV})));
  EXPECT_TRUE(logs.contains(LogLevel::info,
                            "Broadcast rebuild (devices changed), mode=mirror: Living Room TV"));
  EXPECT_FALSE(system().systemOutputMuted()) << "mirror mode leaves the system output alone";
}

TEST_F(AudioRouterTest, UpdatesInQuickSuccessionCollapseIntoOneRebuild) {
  startBoth();
  router->update(configFor({kSpeakers}));
  advance(0.1);
  router->update(configFor({kTV}));
  advance(0.3);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({kTV})));
}

// ---- The parameter path ------------------------------------------------------------

// Calls naming a device that is not configured change nothing.
TEST_F(AudioRouterTest, ParametersAndConfigurationsAreStoredClamped) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  router->update(configFor({kSpeakers, kTV}));
  router->setOffset(kSpeakers, 900, true);
  router->setOffset(kTV, -20, false);
  router->setVolume(kSpeakers, 1.7f);
  router->setVolume(kTV, nan);
  router->setMasterVolume(0.25f);
  router->setVolume("No-Such-Device", 0.5f);
  router->setOffset("No-Such-Device", 10, true);
  EXPECT_EQ(
      router->config(),
      (BroadcastConfig{
          BroadcastMode::synced, {{kSpeakers, 1.0f, 500, true}, {kTV, 0.0f, 0, false}}, 0.25f}));
  router->setMasterVolume(-3);
  EXPECT_EQ(router->config().masterVolume, 0.0f);

  // Whole configurations are clamped the same way.
  router->update(BroadcastConfig{BroadcastMode::synced, {{kTV, 4.0f, -7, false}}, nan});
  EXPECT_EQ(router->config(),
            (BroadcastConfig{BroadcastMode::synced, {{kTV, 1.0f, 0, false}}, 0.0f}));
  // Idle, a configuration is only stored.
  advance(1);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_THAT(aggregates(), IsEmpty());
}

// ---- Shutting down ---------------------------------------------------------------------

TEST_F(AudioRouterTest, AShutdownThatTimesOutWarnsAndStillEndsEverythingWithoutAnEvent) {
  startBoth();
  // The virtual queue does not run while this thread waits.
  router->shutdownSync(0);
  EXPECT_TRUE(logs.contains(LogLevel::warn, "Shutdown: engine teardown did not finish within 0 s"));
  EXPECT_EQ(system().liveObjects().aggregates, 1u);
  settle();
  expectNothingLeft();
  EXPECT_EQ(system().liveObjects().listeners, 0u) << "the catalog stopped listening";
  EXPECT_THAT(takeEvents(), IsEmpty()) << "a shutdown sends no event";
}

TEST_F(AudioRouterTest, ShutdownSyncOnTheQueueRunsInline) {
  startBoth();
  clock().post([&] { router->shutdownSync(5); });
  settle();
  expectNothingLeft();
  EXPECT_TRUE(logs.startingWith("Shutdown:").empty());
}

TEST_F(AudioRouterTest, DestroyingTheRouterReleasesWhatStillRuns) {
  startBoth();
  auto pending = router->stop();
  router.reset();
  expectNothingLeft();
  EXPECT_EQ(system().liveObjects().listeners, 0u);
  advance(5);  // tasks left on the clock find no router
  EXPECT_THROW(pending.get(), std::future_error) << "a step that never ran is a broken promise";
  EXPECT_THAT(takeEvents(), IsEmpty());
}

}  // namespace
}  // namespace choralink::test

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

namespace choralink {
namespace {

using test::configFor;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace presets = sim::presets;

class AudioRouterTest : public test::TwoDeviceRouterTest {};

// ---- Construction ------------------------------------------------------------

class RouterConstructionTest : public test::RouterTest {};

TEST_F(RouterConstructionTest, RestoresJournalledRatesRemovesLeftoversAndPublishesTheDevices) {
  plug(presets::builtInSpeakers());  // at 48000 Hz now
  plug(presets::hdmiTV());
  RateJournal::save({{presets::kSpeakersUID, 44100}}, journal);
  test::leaveAggregate(system(), "app.choralink.agg.FROM-A-CRASH");

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
  BroadcastConfig config = configFor({presets::kSpeakersUID, presets::kTVUID});
  config.devices[0].volume = 0.5f;
  config.masterVolume = 0.8f;
  start(config);
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::started({presets::kSpeakersUID, presets::kTVUID})));
  EXPECT_TRUE(router->isRunning());
  EXPECT_THAT(aggregateMembers(), ElementsAre(presets::kSpeakersUID, presets::kTVUID));
  EXPECT_TRUE(system().systemOutputMuted()) << "synced mode mutes the system's own output";
  EXPECT_TRUE(
      logs.contains(LogLevel::info,
                    "Broadcast start (start), mode=synced: MacBook Pro Speakers, Living Room TV"));

  advance(0.5);
  EXPECT_TRUE(router->callbackHasRun());
  EXPECT_GT(router->heartbeat(), 0u);
  EXPECT_NEAR(router->inputLevel(), 0.5f, 0.01f);
  const auto levels = router->levels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_NEAR(levels.at(presets::kSpeakersUID), 0.5f * 0.8f * 0.5f, 0.01f);
  EXPECT_NEAR(levels.at(presets::kTVUID), 0.5f * 0.8f, 0.01f);
}

TEST_F(AudioRouterTest, StartWhileRunningReplacesTheBroadcast) {
  startBoth();
  const auto first = aggregates();
  start(configFor({presets::kTVUID}));
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::started({presets::kSpeakersUID, presets::kTVUID}),
                          EngineEvent::rebuilding(), EngineEvent::started({presets::kTVUID})));
  EXPECT_NE(aggregates(), first);
  EXPECT_EQ(system().liveObjects().aggregates, 1u);
}

TEST_F(AudioRouterTest, StopTearsEverythingDownAndReportsTheUser) {
  startBoth();
  stop();
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::started({presets::kSpeakersUID, presets::kTVUID}),
                          EngineEvent::stopped(StopReason::user())));
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
      {{presets::kAirPlayUID, presets::kTVUID}, {EngineEvent::started({presets::kTVUID})}},
      {{presets::kTVUID, presets::kTVUID}, {EngineEvent::started({presets::kTVUID})}},
      {{presets::kTVUID, presets::kUSBInterfaceUID},
       {EngineEvent::deviceSkipped(presets::kUSBInterfaceUID,
                                   "Studio Interface couldn't join the broadcast"),
        EngineEvent::started({presets::kTVUID})}},
  };
  for (const auto& [uids, events] : cases) {
    SCOPED_TRACE(::testing::PrintToString(uids));
    start(configFor(uids));
    EXPECT_EQ(takeEvents(), events);
    if (uids.size() == 1) {
      EXPECT_FALSE(router->isRunning());
      expectNothingLeft();
    } else if (uids[0] == uids[1]) {
      EXPECT_THAT(aggregateMembers(), ElementsAre(presets::kTVUID));
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
    auto step = router->start(configFor({presets::kTVUID}));
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
  router->start(configFor({presets::kTVUID}),
                [&](std::exception_ptr error) { results.push_back(error); });
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
  takeEvents();
  const auto aggregate = aggregates();
  BroadcastConfig reordered = configFor({presets::kTVUID, presets::kSpeakersUID});
  reordered.masterVolume = 0.5f;
  router->update(reordered);
  router->setVolume(presets::kTVUID, 0.2f);
  router->setOffset(presets::kSpeakersUID, 100, true);
  advance(0.5);
  (void)router->levels();  // the peaks of the old gain
  advance(0.5);
  const auto levels = router->levels();
  EXPECT_NEAR(levels.at(presets::kSpeakersUID), 0.25f, 0.01f);
  EXPECT_NEAR(levels.at(presets::kTVUID), 0.05f, 0.005f);
  EXPECT_EQ(router->delayBreakdown().at(presets::kSpeakersUID), (LatencyModel::Output{924, 5724}));
  advance(1);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_EQ(aggregates(), aggregate) << "no rebuild";
}

TEST_F(AudioRouterTest, UpdateThatChangesTheModeRebuildsAfterTheDelay) {
  startBoth();
  takeEvents();
  router->update(configFor({presets::kSpeakersUID, presets::kTVUID}, BroadcastMode::mirror));
  advance(0.24);
  EXPECT_THAT(takeEvents(), IsEmpty());
  advance(0.02);
  // The speakers are the default output: in mirror mode they play directly.
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({presets::kTVUID})));
  EXPECT_TRUE(logs.contains(LogLevel::info,
                            "Broadcast rebuild (devices changed), mode=mirror: Living Room TV"));
  EXPECT_FALSE(system().systemOutputMuted()) << "mirror mode leaves the system output alone";
}

TEST_F(AudioRouterTest, UpdatesInQuickSuccessionCollapseIntoOneRebuild) {
  startBoth();
  takeEvents();
  router->update(configFor({presets::kSpeakersUID}));
  advance(0.1);
  router->update(configFor({presets::kTVUID}));
  advance(0.3);
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({presets::kTVUID})));
}

// ---- The parameter path ------------------------------------------------------------

TEST_F(AudioRouterTest, ParametersAndConfigurationsAreStoredClamped) {
  router->update(configFor({presets::kSpeakersUID, presets::kTVUID}));
  router->setOffset(presets::kSpeakersUID, 900, true);
  router->setOffset(presets::kTVUID, -20, false);
  EXPECT_EQ(router->config().devices[0].offsetMs, 500);
  EXPECT_TRUE(router->config().devices[0].offsetUserSet);
  EXPECT_EQ(router->config().devices[1].offsetMs, 0);

  router->setVolume(presets::kSpeakersUID, 1.7f);
  router->setVolume(presets::kTVUID, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(router->config().devices[0].volume, 1.0f);
  EXPECT_EQ(router->config().devices[1].volume, 0.0f);

  router->setMasterVolume(-3);
  EXPECT_EQ(router->config().masterVolume, 0.0f);
  router->setMasterVolume(0.25f);
  EXPECT_EQ(router->config().masterVolume, 0.25f);

  const BroadcastConfig before = router->config();
  router->setVolume("No-Such-Device", 0.5f);
  router->setOffset("No-Such-Device", 10, true);
  EXPECT_EQ(router->config(), before);

  // Whole configurations are clamped the same way.
  BroadcastConfig wild = configFor({presets::kTVUID});
  wild.devices[0].volume = 4;
  wild.devices[0].offsetMs = -7;
  wild.masterVolume = std::numeric_limits<float>::quiet_NaN();
  router->update(wild);
  EXPECT_EQ(router->config().devices[0].volume, 1.0f);
  EXPECT_EQ(router->config().devices[0].offsetMs, 0);
  EXPECT_EQ(router->config().masterVolume, 0.0f);
  // Idle, a configuration is only stored.
  advance(1);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_THAT(aggregates(), IsEmpty());
}

// ---- Shutting down ---------------------------------------------------------------------

TEST_F(AudioRouterTest, AShutdownThatTimesOutWarnsAndStillEndsEverythingWithoutAnEvent) {
  startBoth();
  takeEvents();
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
  takeEvents();
  auto pending = router->stop();
  router.reset();
  expectNothingLeft();
  EXPECT_EQ(system().liveObjects().listeners, 0u);
  advance(5);  // tasks left on the clock find no router
  EXPECT_THROW(pending.get(), std::future_error) << "a step that never ran is a broken promise";
  EXPECT_THAT(takeEvents(), IsEmpty());
}

}  // namespace
}  // namespace choralink

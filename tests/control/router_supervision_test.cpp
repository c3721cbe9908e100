// How the router keeps a broadcast alive on its own, on virtual time: devices
// that vanish and come back, the default output in mirror mode, the limit on
// automatic rebuilds, the heartbeat watchdog with its back-off and the
// capture-blocked conclusion, long silence, processor overload, sleep and
// wake. Each test asserts the exact event sequence the application sees and
// the log lines that explain it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/hal/hal_error.h"
#include "tests/control/router_fixture.h"

namespace choralink::test {
namespace {

class RouterSupervisionTest : public TwoDeviceRouterTest {
 protected:
  // A broadcast on the TV that the watchdog restarts three times, backing
  // off, before it ends with `last`.
  void expectThreeRestartsThen(const std::vector<EngineEvent>& events, const EngineEvent& last) {
    const EngineEvent started = EngineEvent::started({kTV});
    EXPECT_THAT(events,
                ElementsAre(started, EngineEvent::rebuilding(), started, EngineEvent::rebuilding(),
                            started, EngineEvent::rebuilding(), started, last));
    EXPECT_THAT(
        logs.startingWith("Watchdog: rebuilding"),
        ElementsAre("Watchdog: rebuilding in 2 s (try 1)", "Watchdog: rebuilding in 4 s (try 2)",
                    "Watchdog: rebuilding in 6 s (try 3)"));
  }
};

// ---- Devices that vanish and come back ------------------------------------------------

TEST_F(RouterSupervisionTest, UnplugOfOneOfTwoDevicesRebuildsWithTheOtherAndItsReturnRejoins) {
  startBoth();
  unplug(kTV);
  // 0.3 s of catalog debounce ...
  advance(0.301);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::deviceLost(kTV, "Living Room TV")));
  EXPECT_TRUE(logs.contains(LogLevel::warn, "Active device vanished: Living Room TV"));
  // ... then 0.25 s of rebuild delay.
  advance(0.248);
  EXPECT_THAT(takeEvents(), IsEmpty());
  advance(0.1);
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({kSpeakers})));
  EXPECT_THAT(aggregateMembers(), ElementsAre(kSpeakers));
  // Still configured, it rejoins when it comes back.
  logs.clear();
  plug(presets::hdmiTV());
  advance(2);
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({kSpeakers, kTV})));
  EXPECT_TRUE(logs.contains(LogLevel::info, "Device(s) came back: Living Room TV"));
}

TEST_F(RouterSupervisionTest, UnplugOfTheOnlyDeviceEndsWithNoDevices) {
  start(configFor({kTV}));
  takeEvents();
  unplug(kTV);
  advance(2);
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::deviceLost(kTV, "Living Room TV"), EngineEvent::rebuilding(),
                          EngineEvent::stopped(StopReason::noDevices())));
  EXPECT_FALSE(router->isRunning());
  expectNothingLeft();
  // Nothing is wanted any more: the device coming back starts nothing.
  plug(presets::hdmiTV());
  advance(2);
  EXPECT_THAT(takeEvents(), IsEmpty());
}

// A device that is not chosen coming, or the default output moving in synced
// mode: a new list, nothing else. (Idle, a change rebuilds nothing either:
// AudioRouterTest.AFailedStartGoesToTheCaller….)
TEST_F(RouterSupervisionTest, SomeDeviceChangesOnlyChangeTheSnapshot) {
  startBoth();
  for (int change = 0; change < 2; ++change) {
    const std::size_t lists = snapshots.size();
    change == 0 ? (void)plug(presets::usbInterface()) : (void)system().setDefaultOutput(kTV);
    advance(2);
    EXPECT_THAT(takeEvents(), IsEmpty());
    ASSERT_EQ(snapshots.size(), lists + 1);
  }
  EXPECT_EQ(snapshots.back().size(), 3u);
  EXPECT_THAT(aggregateMembers(), ElementsAre(kSpeakers, kTV));
}

// ---- The default output -------------------------------------------------------------------

TEST_F(RouterSupervisionTest, MirrorModeFollowsTheDefaultOutput) {
  plug(presets::usbInterface());
  start(configFor({kSpeakers, kTV, kUSB}, BroadcastMode::mirror));
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kTV, kUSB})));
  system().setDefaultOutput(kTV);
  advance(2);
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::rebuilding(), EngineEvent::started({kSpeakers, kUSB})));
  EXPECT_TRUE(logs.contains(LogLevel::info, "Mirror mode: default output changed; rebuilding"));
}

// ---- The limit on automatic rebuilds -------------------------------------------------------

class RebuildLimitTest : public RouterSupervisionTest {
 protected:
  void SetUp() override {
    RouterSupervisionTest::SetUp();
    plug(presets::usbInterface());
    advance(1);
  }
  void startThree() { start(configFor({kSpeakers, kTV, kUSB})); }
  // One device change that calls for a rebuild: the USB interface goes or
  // comes back, alternately.
  void change() {
    if (system().device(kUSB)) {
      unplug(kUSB);
    } else {
      plug(presets::usbInterface());
    }
    advance(1);
  }
};

TEST_F(RebuildLimitTest, EightChangesWithinAMinuteAreFollowedTheNinthStopsTheBroadcast) {
  startThree();
  for (int i = 0; i < 8; ++i)
    change();
  EXPECT_EQ(takeEvents().back(), EngineEvent::started({kSpeakers, kTV, kUSB}));
  EXPECT_TRUE(router->isRunning());
  change();  // the interface goes a fifth time
  const std::string message = AudioRouter::kDevicesKeptChanging;
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::failed(message))));
  EXPECT_FALSE(router->isRunning());
  expectNothingLeft();
}

// Eight more changes after a new start, or a minute after the last, are
// followed again.
TEST_F(RebuildLimitTest, ANewStartOrAQuietMinuteClearsTheCount) {
  for (const bool restart : {true, false}) {
    SCOPED_TRACE(restart ? "new start" : "quiet minute");
    startThree();
    for (int i = 0; i < 8; ++i)
      change();
    restart ? startThree() : advance(60);
    for (int i = 0; i < (restart ? 8 : 1); ++i)
      change();
    takeEvents();
    EXPECT_TRUE(router->isRunning());
  }
}

// ---- Failures of automatic rebuilds --------------------------------------------------------

TEST_F(RouterSupervisionTest, AScheduledRebuildThatFailsEndsTheBroadcast) {
  startBoth();
  system().failOperation(sim::Operation::createProcessTap, kStatusPermissions, 1);
  router->update(configFor({kTV}));
  advance(1);
  const std::string message =
      HALError(kStatusPermissions, "AudioHardwareCreateProcessTap").description();
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::rebuilding(),
                                        EngineEvent::stopped(StopReason::failed(message))));
  EXPECT_TRUE(logs.contains(LogLevel::error, "Broadcast failed: " + message));
  expectNothingLeft();
}

TEST_F(RouterSupervisionTest, OverloadIsReportedAndLogged) {
  startBoth();
  system().raiseOverload(aggregates().front());
  settle();
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::overload()));
  EXPECT_TRUE(logs.contains(LogLevel::warn, "Audio processor overload"));
}

// ---- The watchdog --------------------------------------------------------------------------

TEST_F(RouterSupervisionTest, BlockedCaptureIsConcludedAfterTwoStalls) {
  // The aggregate starts but never runs: what missing capture permission
  // looks like.
  system().setCaptureBlocked(true);
  start(configFor({kTV}));
  const double started = now();
  advance(9.9);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kTV})));
  advance(0.2);  // more than 8 s after the first tick that saw no progress
  auto events = takeTimedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, EngineEvent::rebuilding());
  EXPECT_NEAR(events[0].time - started, 10.0, 1e-9);
  EXPECT_THAT(logs.startingWith("Watchdog: "),
              ElementsAre("Watchdog: IOProc stalled (heartbeat 0, aggregate running=0, devices: "
                          "Living Room TV 48000 Hz)",
                          "Watchdog: rebuilding in 2 s (try 1)"));
  EXPECT_THAT(aggregates(), IsEmpty()) << "torn down while the restart waits";

  advance(1.8);
  EXPECT_THAT(takeEvents(), IsEmpty());
  advance(0.4);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kTV})));

  advance(12);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::captureBlocked())));
  EXPECT_TRUE(logs.contains(
      LogLevel::error,
      "Broadcast failed: audio callback never ran (capture permission likely missing)"));
  EXPECT_FALSE(router->isRunning());
  expectNothingLeft();
}

TEST_F(RouterSupervisionTest, ACallbackThatNeverRunsOnARunningDeviceGetsThreeRestarts) {
  // No IO is stepped: the aggregate runs, the callback never does.
  system().setIODriver(sim::IODriver::manual);
  start(configFor({kTV}));
  advance(60);
  expectThreeRestartsThen(takeEvents(), EngineEvent::stopped(StopReason::captureBlocked()));
  EXPECT_EQ(logs.startingWith("Watchdog: IOProc stalled (heartbeat 0, aggregate running=1").size(),
            4u);
}

TEST_F(RouterSupervisionTest, AHeartbeatThatStopsIsRestartedThreeTimesThenGivenUp) {
  start(configFor({kTV}));
  advance(5);
  system().setIODriver(sim::IODriver::manual);  // the callback stops being called
  const double frozen = now();
  advance(60);
  const auto events = takeTimedEvents();
  std::vector<EngineEvent> kinds;
  for (const auto& timed : events)
    kinds.push_back(timed.event);
  const std::string message = AudioRouter::kAudioStoppedMessage;
  expectThreeRestartsThen(kinds, EngineEvent::stopped(StopReason::failed(message)));
  // A heartbeat that ran before counts as stalled once it has not moved for
  // more than 3 s, counted from the first tick that saw it unchanged (one or
  // two ticks after the callback's last cycle).
  ASSERT_GE(events.size(), 2u);
  EXPECT_GE(events[1].time - frozen, 4.0 - 1e-9);
  EXPECT_LE(events[1].time - frozen, 6.0 + 1e-9);
  expectNothingLeft();
}

// A restart that then runs well for 30 s clears the attempt count; a shorter
// good run keeps it, so the next stall backs off further.
TEST_F(RouterSupervisionTest, OnlyThirtySecondsOfGoodRunningClearTheAttemptCount) {
  for (const auto& [goodRun, secondDelay] : {std::pair{32.0, "2"}, std::pair{20.0, "4"}}) {
    SCOPED_TRACE(goodRun);
    start(configFor({kTV}));
    advance(5);
    system().setIODriver(sim::IODriver::manual);
    advance(9);  // stalled, torn down, restarted
    EXPECT_EQ(takeEvents().back(), EngineEvent::started({kTV}));
    system().setIODriver(sim::IODriver::clock);
    advance(goodRun);
    logs.clear();
    system().setIODriver(sim::IODriver::manual);
    advance(9);
    EXPECT_THAT(logs.startingWith("Watchdog: rebuilding"),
                ElementsAre("Watchdog: rebuilding in " + std::string(secondDelay) + " s (try " +
                            (goodRun > 30 ? "1" : "2") + ")"));
    stop();
    system().setIODriver(sim::IODriver::clock);
    takeEvents();
  }
}

TEST_F(RouterSupervisionTest, ARebuildThatComesFirstLeavesTheWatchdogRestartNothingToDo) {
  system().setCaptureBlocked(true);
  start(configFor({kTV}));
  advance(10.5);
  EXPECT_EQ(takeEvents().back(), EngineEvent::rebuilding());
  system().setCaptureBlocked(false);
  router->update(configFor({kSpeakers, kTV}));
  advance(3);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kSpeakers, kTV})));
  EXPECT_EQ(system().liveObjects().aggregates, 1u);
}

// ---- Silence ----------------------------------------------------------------------------------

TEST_F(RouterSupervisionTest, LongSilenceIsReportedOnceAndClearedWhenSoundReturns) {
  system().setSystemMix(sim::SignalSource::silence());
  start(configFor({kTV}));
  takeEvents();
  advance(29.5);
  EXPECT_THAT(takeEvents(), IsEmpty());
  advance(2);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::captureSilent(true)));
  advance(5);
  EXPECT_THAT(takeEvents(), IsEmpty());
  system().setSystemMix(sim::SignalSource::sine(440, 0.5f));
  advance(1.5);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::captureSilent(false)));
  advance(5);
  EXPECT_THAT(takeEvents(), IsEmpty());
  // Ending a silent broadcast clears the report first.
  system().setSystemMix(sim::SignalSource::silence());
  advance(31);
  stop();
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::captureSilent(true), EngineEvent::captureSilent(false),
                          EngineEvent::stopped(StopReason::user())));
}

// ---- The sound server going away ------------------------------------------------------------

// Idle, only the log hears of it. Broadcasting, the stop comes at once and
// drops a rebuild pending after an unplug. Nothing restarts by itself then:
// not the devices' changes, not the server's return (the catalog only reads
// the devices anew).
TEST_F(RouterSupervisionTest, LossOfTheSoundServerEndsTheBroadcastAtOnceAndForGood) {
  system().setServiceAlive(false);
  settle();
  EXPECT_THAT(takeEvents(), IsEmpty());
  system().setServiceAlive(true);
  startBoth();
  unplug(kTV);
  advance(0.31);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::deviceLost(kTV, "Living Room TV")));
  const double lost = now();
  system().setServiceAlive(false);
  advance(1.0);
  const auto events = takeTimedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, EngineEvent::stopped(StopReason::serviceGone()));
  EXPECT_LT(events[0].time - lost, 0.1) << "at once, not after the device debounces";
  EXPECT_TRUE(logs.contains(LogLevel::error, "The sound server stopped; broadcast ended"));
  expectNothingLeft();
  plug(presets::hdmiTV());
  system().setServiceAlive(true);
  advance(30);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_FALSE(router->isRunning());
}

// The server can go just as a rebuild is due, its notice queued behind the
// rebuild: the rebuild's failure is that loss, and the user hears so. (The
// nested delays land on the catalog's debounce and the rebuild's own times.)
TEST_F(RouterSupervisionTest, ARebuildFailingAsTheServerGoesEndsForTheLoss) {
  startBoth();
  unplug(kTV);
  clock().postAfter(DeviceCatalog::kRefreshDebounce, [this] {
    clock().postAfter(AudioRouter::kRebuildDelay, [this] {
      system().failOperation(sim::Operation::createAggregateDevice, kStatusUnspecified);
      system().setServiceAlive(false);
    });
  });
  advance(1.0);
  EXPECT_THAT(takeEvents(),
              ElementsAre(EngineEvent::deviceLost(kTV, "Living Room TV"), EngineEvent::rebuilding(),
                          EngineEvent::stopped(StopReason::serviceGone())));
  expectNothingLeft();
}

// ---- Sleep and wake -----------------------------------------------------------------------------

TEST_F(RouterSupervisionTest, ABroadcastStopsForSleepAndRestartsTwoSecondsAfterWake) {
  startBoth();
  router->systemWillSleep();
  settle();
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::sleep())));
  EXPECT_TRUE(logs.contains(LogLevel::info, "Sleep: stopping broadcast"));
  expectNothingLeft();

  unplug(kTV);  // changes while asleep are only noted
  advance(30);
  EXPECT_THAT(takeEvents(), IsEmpty());

  router->systemDidWake();
  advance(1.99);
  EXPECT_THAT(takeEvents(), IsEmpty());
  advance(0.5);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kSpeakers})));
  EXPECT_TRUE(logs.contains(LogLevel::info, "Wake: restarting broadcast"));
}

// Nothing is wanted after a stop during sleep, nor when idle: no restart.
TEST_F(RouterSupervisionTest, NoRestartAfterWakeWhenIdleOrStoppedDuringSleep) {
  router->systemWillSleep();
  router->systemDidWake();
  advance(5);
  EXPECT_THAT(takeEvents(), IsEmpty());
  EXPECT_TRUE(logs.startingWith("Sleep:").empty());
  startBoth();
  router->systemWillSleep();
  stop();
  router->systemDidWake();
  advance(5);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::sleep()),
                                        EngineEvent::stopped(StopReason::user())));
  EXPECT_THAT(aggregates(), IsEmpty());
}

// A rebuild pending at sleep is dropped, and so is the wake's restart when
// sleep comes again before it: the newest configuration starts after the
// next wake only.
TEST_F(RouterSupervisionTest, WhatIsPendingAtSleepWaitsForTheNextWake) {
  startBoth();
  router->update(configFor({kTV}));
  advance(0.1);
  router->systemWillSleep();
  advance(1);
  router->systemDidWake();
  advance(1);
  router->systemWillSleep();
  advance(10);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::sleep())));
  router->systemDidWake();
  advance(3);
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::started({kTV})));
}

TEST_F(RouterSupervisionTest, ARestartAfterWakeThatFailsEndsTheBroadcast) {
  startBoth();
  router->systemWillSleep();
  settle();
  takeEvents();
  system().failOperation(sim::Operation::createAggregateDevice, kStatusUnspecified, 1);
  router->systemDidWake();
  advance(3);
  const std::string message =
      "Couldn't restart after sleep: " +
      HALError(kStatusUnspecified, "AudioHardwareCreateAggregateDevice").description();
  EXPECT_THAT(takeEvents(), ElementsAre(EngineEvent::stopped(StopReason::failed(message))));
  expectNothingLeft();
}

}  // namespace
}  // namespace choralink::test

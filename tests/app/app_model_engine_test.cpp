// How the model follows the engine: starting and stopping, the start race,
// every event of the engine's stream, and which changes views are told of.
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/app/app_fixture.h"

namespace choralink {
namespace {

using test::AppModelTest;

class EngineFollowingTest : public AppModelTest {
 protected:
  void SetUp() override {
    buildWith(settingsWith({"spk", "tv"}));
    router->breakdown = {{"spk", {10, 10}}, {"tv", {0, 0}}};
  }
};

TEST_F(EngineFollowingTest, StartSharingAsksTheEngineOnTheNextTurnUnlessStoppedFirst) {
  model->startSharing();
  EXPECT_EQ(model->engineState(), EngineState::starting());
  EXPECT_TRUE(router->starts.empty()) << "the start runs as a task, not inside the call";

  clock.runDue();
  ASSERT_EQ(router->starts.size(), 1u);
  EXPECT_EQ(router->starts[0], model->broadcastConfig());
  // Success alone changes nothing: only the started event does.
  EXPECT_EQ(model->engineState(), EngineState::starting());
  EXPECT_FALSE(model->metersRunning());

  // A stop before the start task runs: the engine is never started.
  send(EngineEvent::stopped(StopReason::user()));
  router->calls.clear();
  model->startSharing();
  model->stopSharing();
  clock.runDue();
  EXPECT_EQ(router->calls, (std::vector<std::string>{"stop"}));
}

TEST_F(EngineFollowingTest, StartedEventRunsTheBroadcast) {
  model->startSharing();
  clock.runDue();
  send(EngineEvent::deviceSkipped("tv", "did not join"));
  send(EngineEvent::started({"spk"}));

  EXPECT_EQ(model->engineState(), EngineState::running());
  EXPECT_EQ(model->activeUIDs(), (std::set<std::string>{"spk"}));
  EXPECT_EQ(model->delays(), router->breakdown);
  EXPECT_TRUE(model->metersRunning());
  // A problem of a device that did not start stays; one that plays goes.
  EXPECT_EQ(model->deviceProblems().count("tv"), 1u);
  send(EngineEvent::deviceSkipped("spk", "was slow"));
  send(EngineEvent::started({"spk", "tv"}));
  EXPECT_TRUE(model->deviceProblems().empty());
  model->startSharing();
  clock.runDue();
  EXPECT_EQ(router->starts.size(), 1u) << "a start while sharing does nothing";
}

TEST_F(EngineFollowingTest, StartedAfterStopLeavesTheStateOffAndStartsNoMeters) {
  router->completeAtOnce = false;
  model->startSharing();
  clock.runDue();
  ASSERT_EQ(router->starts.size(), 1u);

  model->stopSharing();
  EXPECT_EQ(model->engineState(), EngineState::off());
  clock.runDue();
  router->complete("start");
  send(EngineEvent::started({"spk", "tv"}));

  EXPECT_EQ(model->engineState(), EngineState::off());
  EXPECT_FALSE(model->metersRunning());
  EXPECT_TRUE(model->activeUIDs().empty());
  EXPECT_EQ(router->count("stop"), 1);
}

TEST_F(EngineFollowingTest, ACompletionFromTheRoutersOwnThreadIsHandledOnTheModelsThread) {
  router->completeAtOnce = false;
  model->startSharing();
  clock.runDue();
  std::thread engineQueue(
      [&] { router->complete("start", std::make_exception_ptr(std::runtime_error("late"))); });
  engineQueue.join();
  EXPECT_EQ(model->engineState(), EngineState::starting());
  clock.runDue();
  EXPECT_EQ(model->engineState(), EngineState::failed("Couldn't start: late"));
}

TEST_F(EngineFollowingTest, StartSharingClearsLostDevicesProblemsAndCaptureFlags) {
  startRunning({"spk", "tv"});
  send(EngineEvent::deviceLost("tv", "TV"));
  send(EngineEvent::deviceSkipped("spk", "slow"));
  send(EngineEvent::captureSilent(true));
  send(EngineEvent::stopped(StopReason::captureBlocked()));
  ASSERT_TRUE(model->captureBlocked());

  model->startSharing();
  EXPECT_TRUE(model->lostUIDs().empty());
  EXPECT_TRUE(model->deviceProblems().empty());
  EXPECT_FALSE(model->captureSilent());
  EXPECT_FALSE(model->captureBlocked());
}

TEST_F(EngineFollowingTest, StoppedEndsTheBroadcastStateForEveryReason) {
  struct Case {
    StopReason reason;
    EngineState state;
    bool blocked;
    bool keepsLost;
  };
  const std::vector<Case> cases{
      {StopReason::user(), EngineState::off(), false, false},
      {StopReason::sleep(), EngineState::rebuilding(), false, true},
      {StopReason::noDevices(), EngineState::failed("No selected device is connected"), false,
       true},
      {StopReason::captureBlocked(), EngineState::off(), true, true},
      {StopReason::failed("device died"), EngineState::failed("Stopped: device died"), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.reason));
    startRunning({"spk", "tv"});
    send(EngineEvent::deviceLost("tv", "TV"));
    send(EngineEvent::captureSilent(true));
    router->peaks = {{"spk", 0.5f}};
    advance(AppModel::kMeterInterval);
    ASSERT_FALSE(model->levels().empty());

    send(EngineEvent::stopped(c.reason));
    EXPECT_EQ(model->engineState(), c.state);
    EXPECT_EQ(model->captureBlocked(), c.blocked);
    EXPECT_EQ(model->lostUIDs().empty(), !c.keepsLost);
    EXPECT_TRUE(model->activeUIDs().empty());
    EXPECT_TRUE(model->levels().empty());
    EXPECT_FALSE(model->captureSilent());
    EXPECT_FALSE(model->metersRunning());

    model->stopSharing();
    clock.runDue();
    send(EngineEvent::stopped(StopReason::user()));
  }
}

TEST_F(EngineFollowingTest, RebuildingAndErrorEventsSetTheStateAndAnOverloadIsOnlyLogged) {
  startRunning({"spk"});
  send(EngineEvent::rebuilding());
  EXPECT_EQ(model->engineState(), EngineState::rebuilding());
  EXPECT_TRUE(model->isSharing());
  send(EngineEvent::started({"spk"}));
  send(EngineEvent::error("Output overloaded"));
  EXPECT_EQ(model->engineState(), EngineState::failed("Output overloaded"));
  // After an error a started event still brings the broadcast back.
  send(EngineEvent::started({"spk"}));
  EXPECT_EQ(model->engineState(), EngineState::running());
  takeChanges();
  send(EngineEvent::overload());
  EXPECT_TRUE(takeChanges().empty());
  EXPECT_EQ(logged().back(), "[WARN] Overload reported to UI");
}

TEST_F(EngineFollowingTest, EqualValuesOfComparedFieldsAreStoredSilently) {
  takeChanges();
  // Already off, not silent, not blocked: nothing of these four changes.
  send(EngineEvent::stopped(StopReason::user()));
  send(EngineEvent::captureSilent(false));
  EXPECT_EQ(changesOf(ModelField::engineState), 0u);
  EXPECT_EQ(changesOf(ModelField::captureSilent), 0u);
  EXPECT_EQ(changesOf(ModelField::captureBlocked), 0u);

  // An error with the same message as the one shown changes nothing either.
  send(EngineEvent::error("Something broke"));
  send(EngineEvent::error("Something broke"));
  EXPECT_EQ(changesOf(ModelField::engineState), 1u);
  send(EngineEvent::error("Something else"));
  EXPECT_EQ(changesOf(ModelField::engineState), 2u);

  // A volume edit that stores the same value changes no settings.
  model->setVolume(spk, 100);
  EXPECT_EQ(changesOf(ModelField::settings), 0u);
  model->setVolume(spk, 80);
  EXPECT_EQ(changesOf(ModelField::settings), 1u);
}

}  // namespace
}  // namespace choralink

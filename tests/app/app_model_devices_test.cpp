// The user's device choices: the first-run default, enabling, volumes,
// delays, master volume, modes, and the engine configuration built from them.
#include <gtest/gtest.h>

#include "tests/app/app_fixture.h"

namespace choralink {
namespace {

using test::AppModelTest;

using FirstRunTest = AppModelTest;

TEST_F(FirstRunTest, FirstSnapshotSwitchesOnTheDefaultOutputAndSavesIt) {
  build();
  takeChanges();
  publish({desk, spk});

  EXPECT_EQ(model->settings().devices,
            (std::map<std::string, DeviceSettings>{
                {"spk", DeviceSettings(true, 100, 0, false, "Speakers")}}));
  EXPECT_EQ(changesOf(ModelField::settings), 1u);
  advance(AppModel::kSaveDebounce);
  ASSERT_TRUE(savedSettings().has_value());
  EXPECT_EQ(savedSettings()->devices, model->settings().devices);
}

TEST_F(FirstRunTest, OnlyTheFirstNonEmptySnapshotWithNothingStoredChoosesForTheUser) {
  build();
  publish({desk});
  publish({desk, spk});
  EXPECT_TRUE(model->settings().devices.empty()) << "a later snapshot";
  EXPECT_FALSE(model->savePending());

  model.reset();
  build();
  publish({});
  publish({spk});
  EXPECT_EQ(model->settings().devices.count("spk"), 1u) << "after an empty first snapshot";

  model.reset();
  AppSettings stored;
  stored.devices.insert_or_assign("old", DeviceSettings(false, 40, 0, false, "Old Speaker"));
  storeSettings(stored);
  build();
  publish({spk});
  EXPECT_EQ(model->settings().devices, stored.devices) << "stored devices: no first run";
  EXPECT_FALSE(model->savePending());
}

using DeviceChoiceTest = AppModelTest;

TEST_F(DeviceChoiceTest, BroadcastConfigListsEnabledSupportedDevicesInDeviceOrder) {
  AppSettings settings = settingsWith({"tv", "spk", "air"}, BroadcastMode::mirror);
  settings.devices.insert_or_assign("tv", DeviceSettings(true, 55, 120, true, "TV"));
  settings.devices.insert_or_assign("buds", DeviceSettings(false, 80, 0, false, "Buds"));
  settings.masterVolume = 70;
  buildWith(settings);

  const BroadcastConfig config = model->broadcastConfig();
  EXPECT_EQ(config.mode, BroadcastMode::mirror);
  EXPECT_FLOAT_EQ(config.masterVolume, 0.7f);
  // The default output stays in the list in mirror mode; AirPlay and
  // disabled devices do not appear.
  EXPECT_EQ(config.devices,
            (std::vector<DeviceConfig>{{"spk", 1.0f, 0, false}, {"tv", 0.55f, 120, true}}));
}

TEST_F(DeviceChoiceTest, EnabledDevicesLeaveOutTheDefaultOutputInMirrorMode) {
  buildWith(settingsWith({"spk", "buds", "air"}));
  EXPECT_EQ(model->enabledDevices(), (std::vector{spk, buds}));
  EXPECT_EQ(model->enabledBluetoothCount(), 1);
  model->setMode(BroadcastMode::mirror);
  EXPECT_EQ(model->enabledDevices(), std::vector{buds});
}

TEST_F(DeviceChoiceTest, EnablingStoresTheNameAndClearsTheDevicesProblemAndTheLastError) {
  AppSettings settings = settingsWith({});
  settings.devices.insert_or_assign("spk", DeviceSettings(false, 100, 0, false, "Speakers"));
  buildWith(settings);
  model->startSharing();
  ASSERT_EQ(model->engineState(), EngineState::failed("Turn on at least one device"));
  send(EngineEvent::deviceSkipped("tv", "no stream"));

  model->setEnabled(tv, true);
  EXPECT_EQ(model->deviceSettings("tv"), DeviceSettings(true, 100, 0, false, "TV"));
  EXPECT_EQ(model->deviceProblems().count("tv"), 0u);
  EXPECT_EQ(model->engineState(), EngineState::off());
  EXPECT_TRUE(router->calls.empty()) << "nothing goes to an idle engine";
}

TEST_F(DeviceChoiceTest, EnablingWhileSharingUpdatesTheEngineUntilTheLastDeviceGoes) {
  buildWith(settingsWith({"spk"}));
  startRunning({"spk"});
  model->setEnabled(tv, true);
  ASSERT_EQ(router->updates.size(), 1u);
  EXPECT_EQ(router->updates[0], model->broadcastConfig());

  model->setEnabled(tv, false);
  EXPECT_EQ(model->engineState(), EngineState::running());
  model->setEnabled(spk, false);
  EXPECT_EQ(model->engineState(), EngineState::off());
  clock.runDue();
  EXPECT_EQ(router->count("stop"), 1);
}

TEST_F(DeviceChoiceTest, VolumesAreStoredRoundedHalfAwayFromZeroAndClampedAndSentUnrounded) {
  buildWith(settingsWith({"spk"}));
  const std::tuple<double, std::int64_t, float> cases[] = {
      {50.5, 51, 0.505f}, {49.49, 49, 0.4949f}, {130, 100, 1.0f}, {-4, 0, 0.0f}};
  for (const auto& [set, stored, gain] : cases) {
    model->setVolume(spk, set);
    EXPECT_EQ(model->deviceSettings("spk").volume, stored) << set;
    EXPECT_FLOAT_EQ(router->volumes.back().gain, gain) << set;
  }
  EXPECT_EQ(router->volumes.back().uid, "spk");

  model->setMasterVolume(62.5);
  EXPECT_EQ(model->settings().masterVolume, 63);
  ASSERT_EQ(router->masterVolumes.size(), 1u);
  EXPECT_FLOAT_EQ(router->masterVolumes[0], 0.625f);
}

TEST_F(DeviceChoiceTest, EditingAnUnknownDeviceRemembersItsNameButLeavesItOff) {
  buildWith(settingsWith({}));
  model->setVolume(buds, 30);
  EXPECT_EQ(model->deviceSettings("buds"), DeviceSettings(false, 30, 0, false, "Buds"));
  // A stored name is kept by volume and delay edits.
  AudioDeviceInfo renamed = buds;
  renamed.name = "Renamed Buds";
  model->setOffset(renamed, 20);
  EXPECT_EQ(model->deviceSettings("buds").lastName, "Buds");
}

TEST_F(DeviceChoiceTest, OffsetIsClampedToHalfASecondAndMarkedUserSet) {
  buildWith(settingsWith({"spk"}));
  router->breakdown = {{"spk", {0, 24000}}};
  model->setOffset(spk, 750);
  EXPECT_EQ(model->deviceSettings("spk").offsetMs, 500);
  EXPECT_TRUE(model->deviceSettings("spk").offsetUserSet);
  EXPECT_EQ(model->delays(), router->breakdown);

  model->setOffset(spk, -20);
  EXPECT_EQ(model->deviceSettings("spk").offsetMs, 0);
  EXPECT_EQ(router->offsets,
            (std::vector<test::FakeRouter::OffsetCall>{{"spk", 500, true}, {"spk", 0, true}}));
}

TEST_F(DeviceChoiceTest, ResetDelaysZeroesEveryStoredDelay) {
  AppSettings settings = settingsWith({"spk"});
  settings.devices.insert_or_assign("spk", DeviceSettings(true, 100, 40, true, "Speakers"));
  settings.devices.insert_or_assign("gone", DeviceSettings(false, 100, 90, true, "Gone"));
  buildWith(settings);

  model->resetDelays();
  for (const auto& [uid, entry] : model->settings().devices) {
    EXPECT_EQ(entry.offsetMs, 0) << uid;
    EXPECT_FALSE(entry.offsetUserSet) << uid;
  }
  EXPECT_TRUE(router->updates.empty()) << "idle: nothing to update";
  EXPECT_EQ(router->delayReads, 1);

  startRunning({"spk"});
  model->setOffset(spk, 30);
  model->resetDelays();
  ASSERT_EQ(router->updates.size(), 1u);
  EXPECT_EQ(router->updates[0].devices[0].offsetMs, 0);
}

TEST_F(DeviceChoiceTest, ChangingTheModeClearsAFailureAndUpdatesABroadcast) {
  buildWith(settingsWith({"spk", "tv"}));
  takeChanges();
  model->setMode(BroadcastMode::synced);
  EXPECT_TRUE(takeChanges().empty()) << "the same mode changes nothing";
  EXPECT_FALSE(model->savePending());

  send(EngineEvent::error("old problem"));
  model->setMode(BroadcastMode::mirror);
  EXPECT_EQ(model->engineState(), EngineState::off());
  EXPECT_TRUE(model->savePending());

  startRunning({"tv"});
  model->setMode(BroadcastMode::synced);
  ASSERT_EQ(router->updates.size(), 1u);
  EXPECT_EQ(router->updates[0].mode, BroadcastMode::synced);
}

TEST_F(DeviceChoiceTest, MirrorModeWithOnlyTheSystemOutputEnabledHasNothingToPlayOn) {
  buildWith(settingsWith({"spk"}));
  startRunning({"spk"});
  model->setMode(BroadcastMode::mirror);
  EXPECT_EQ(model->engineState(), EngineState::off());
  clock.runDue();
  EXPECT_EQ(router->count("stop"), 1);
  EXPECT_TRUE(router->updates.empty());
  send(EngineEvent::stopped(StopReason::user()));

  model->startSharing();
  EXPECT_EQ(model->engineState(),
            EngineState::failed("Pick at least one other device to mirror to"));
  clock.runDue();
  EXPECT_EQ(router->starts.size(), 1u) << "only the first start reached the engine";
}

TEST_F(DeviceChoiceTest, ASnapshotClearsReturnedLostDevicesAndProblemsOfAbsentOnes) {
  buildWith(settingsWith({"spk", "tv", "buds"}));
  startRunning({"spk", "tv"});
  send(EngineEvent::deviceSkipped("buds", "no stream"));
  send(EngineEvent::deviceLost("tv", "TV"));
  publish({spk, buds});
  EXPECT_EQ(model->lostUIDs().count("tv"), 1u);
  EXPECT_EQ(model->deviceProblems().count("buds"), 1u);

  publish({spk, tv});
  EXPECT_TRUE(model->lostUIDs().empty());
  EXPECT_TRUE(model->deviceProblems().empty());
}

}  // namespace
}  // namespace choralink

// The model's timed behaviour, all on virtual time: the debounced save, the
// meters at 30 Hz with their decay, the capture check's polls and sound, and
// tasks that end with the model.
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/app/app_fixture.h"

namespace choralink {
namespace {

using test::AppModelTest;

class SaveTest : public AppModelTest {
 protected:
  void SetUp() override {
    // A first run: the device entry comes from the first snapshot, and its
    // save is out of the way before each test begins.
    build();
    publish({spk});
    advance(1.0);
    std::filesystem::remove(settingsFile());
  }
};

TEST_F(SaveTest, TenChangesAHundredMillisecondsApartWriteOnceWithTheLastValues) {
  for (int i = 0; i < 10; ++i) {
    model->setVolume(spk, 10.0 * (i + 1) - 5);
    if (i < 9) advance(0.1);
    EXPECT_FALSE(std::filesystem::exists(settingsFile())) << "change " << i;
  }
  const double last = clock.now();
  clock.advanceTo(last + 0.399);
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
  clock.advanceTo(last + 0.4);
  ASSERT_TRUE(savedSettings().has_value());
  EXPECT_EQ(savedSettings()->devices.at("spk").volume, 95);

  // Exactly one write: nothing comes after it.
  std::filesystem::remove(settingsFile());
  advance(5.0);
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
  EXPECT_FALSE(model->savePending());
}

TEST_F(SaveTest, ShutdownSavesAtOnceCancelsThePendingSaveAndShutsTheEngineDown) {
  model->setMasterVolume(30);
  model->shutdown();
  ASSERT_TRUE(savedSettings().has_value());
  EXPECT_EQ(savedSettings()->masterVolume, 30);
  EXPECT_EQ(router->shutdowns, (std::vector<double>{5.0}));

  std::filesystem::remove(settingsFile());
  advance(1.0);
  EXPECT_FALSE(std::filesystem::exists(settingsFile())) << "the debounced save was cancelled";
}

TEST_F(SaveTest, NothingOfAGoneModelRunsOnItsExecutor) {
  model->setMasterVolume(30);                           // a pending save
  startRunning({"spk"});                                // the meter timer
  router->eventStream.send(EngineEvent::rebuilding());  // an undelivered event
  model.reset();
  EXPECT_NO_THROW(advance(1.0));
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
  EXPECT_EQ(clock.pendingCount(), 0u);
}

class MeterTest : public AppModelTest {
 protected:
  void SetUp() override {
    buildWith(settingsWith({"spk", "tv"}));
    startRunning({"spk", "tv"});
  }
  void tick() { advance(AppModel::kMeterInterval); }
};

TEST_F(MeterTest, AFullMeterFallsByTheDecayFactorToExactlyZero) {
  router->peaks = {{"spk", 1.0f}};
  tick();
  EXPECT_EQ(model->levels().at("spk"), 1.0f);
  tick();
  EXPECT_FLOAT_EQ(model->levels().at("spk"), 0.86f);

  int ticks = 1;
  while (model->levels().at("spk") > 0.0f && ticks < 200) {
    tick();
    ++ticks;
  }
  // 0.86^61 is still above 0.0001; the 62nd step falls below it.
  EXPECT_EQ(ticks, 62);
  EXPECT_EQ(model->levels().at("spk"), 0.0f);

  // Idle meters cause no refresh.
  takeChanges();
  for (int i = 0; i < 30; ++i)
    tick();
  EXPECT_EQ(changesOf(ModelField::levels), 0u);
  EXPECT_EQ(model->levels().count("spk"), 1u) << "a UID stays until a stop";
}

TEST_F(MeterTest, AMeterJumpsUpAtOnceAndKeepsEveryDeviceSeen) {
  router->peaks = {{"spk", 0.2f}};
  tick();
  router->peaks = {{"spk", 0.9f}, {"tv", 0.05f}};
  tick();
  EXPECT_EQ(model->levels().at("spk"), 0.9f);
  EXPECT_EQ(model->levels().at("tv"), 0.05f);
  // A louder decayed value beats a quieter new peak.
  router->peaks = {{"spk", 0.1f}};
  tick();
  EXPECT_FLOAT_EQ(model->levels().at("spk"), 0.9f * 0.86f);
}

TEST_F(MeterTest, TheTimerTicksThirtyTimesASecondUntilTheBroadcastStops) {
  const int before = router->levelReads;
  advance(1.0 + 1e-9);
  EXPECT_EQ(router->levelReads - before, 30);

  // A second started event (a rebuild) does not start a second timer.
  send(EngineEvent::started({"spk"}));
  const int again = router->levelReads;
  advance(1.0 + 1e-9);
  EXPECT_EQ(router->levelReads - again, 30);

  send(EngineEvent::stopped(StopReason::user()));
  const int stopped = router->levelReads;
  advance(2.0);
  EXPECT_EQ(router->levelReads, stopped);
  EXPECT_TRUE(model->levels().empty());
}

class CaptureCheckTest : public AppModelTest {
 protected:
  void SetUp() override {
    build();
    publish({spk});
  }
};

TEST_F(CaptureCheckTest, AnswersOnItsPollsAndHearsOnlyTheCheckSound) {
  struct Case {
    const char* verdict;  // the last line logged
    double callbackAt;    // after the check began; negative: never runs
    float stalePeak;      // captured before the check sound plays
    float soundPeak;      // captured while it plays
    bool soundThrows, startFails, heard;
    double soundAt;  // negative: never plays
    double took;
  };
  const char* silence = "[INFO] Capture probe: silence";
  const char* blocked = "[INFO] Capture probe: blocked (callback never ran)";
  const char* noStart = "[WARN] Capture probe failed to start: No output device";
  const std::vector<Case> cases{
      // The callback is seen at the 0.5 s poll; the sound plays then, and
      // the first listening poll 0.1 s later hears it.
      {"[INFO] Capture probe: sound detected", 0.45, 0, 0.2f, false, false, true, 0.5, 0.6},
      // 25 listening polls of 0.1 s, deaf to what peaked before.
      {silence, 0, 0.7f, 0, false, false, false, 0.0, 2.5},
      // 30 polls for the callback; a peak without it is not trusted.
      {blocked, -1, 0, 0.2f, false, false, false, 3.0, 3.1},
      {silence, 0, 0, 0.2f, true, false, false, 0.0, 2.5},
      {noStart, 0, 0, 0, false, true, false, -1, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verdict);
    model.reset();
    SetUp();
    const double began = clock.now();
    if (c.callbackAt == 0) router->callbackRan = true;
    if (c.callbackAt > 0) clock.postAfter(c.callbackAt, [&] { router->callbackRan = true; });
    router->inputPeak = c.stalePeak;
    sound->onPlay = [&] {
      if (c.soundThrows) throw std::runtime_error("no player");
      router->inputPeak = c.soundPeak;
    };
    if (c.startFails) {
      router->probeStartError = std::make_exception_ptr(std::runtime_error("No output device"));
    }
    std::optional<bool> heard;
    double ended = began;
    model->verifyCapture([&](bool result) {
      heard = result;
      ended = clock.now();
    });
    clock.runUntil([&] { return heard.has_value(); }, 10.0);

    EXPECT_EQ(heard, c.heard);
    EXPECT_NEAR(ended - began, c.took, 1e-9);
    ASSERT_EQ(sound->playedAt.size(), c.soundAt < 0 ? 0u : 1u);
    EXPECT_NEAR(c.soundAt < 0 ? c.soundAt : sound->playedAt[0] - began, c.soundAt, 1e-9);
    EXPECT_EQ(router->count("stopCaptureProbe"), c.startFails ? 0 : 1);
    EXPECT_EQ(logged().back(), c.verdict);
  }
}

TEST_F(CaptureCheckTest, TheAnswerWaitsForTheProbeToStop) {
  router->completeAtOnce = false;
  router->callbackRan = true;
  sound->onPlay = [&] { router->inputPeak = 0.5f; };
  std::optional<bool> heard;
  model->verifyCapture([&](bool result) { heard = result; });
  ASSERT_TRUE(router->complete("startCaptureProbe"));
  advance(0.2);
  EXPECT_EQ(router->count("stopCaptureProbe"), 1);
  EXPECT_FALSE(heard.has_value());
  ASSERT_TRUE(router->complete("stopCaptureProbe"));
  clock.runDue();
  EXPECT_EQ(heard, true);
}

}  // namespace
}  // namespace choralink

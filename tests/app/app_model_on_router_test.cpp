// The app model on the real engine: the router on the simulated audio system,
// one virtual clock for the model, the router's queue, the simulator's joins
// and its IO. What a user does in the window, and what the engine does
// underneath, end to end.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "app/model/app_model.h"
#include "app/wiring/sim_capture_check_sound.h"
#include "engine/control/audio_router.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_machine.h"
#include "support/settings_store.h"
#include "tests/app/app_fixture.h"

namespace choralink::test {
namespace {

namespace presets = sim::presets;

class AppModelOnRouterTest : public ::testing::Test {
 protected:
  AppModelOnRouterTest() {
    sim::SimOptions options;
    options.recordingWindowSeconds = 4;
    machine = std::make_unique<sim::SimMachine>(options);
    machine->system.setSystemMix(sim::SignalSource::sine(440, 0.5f));
  }

  ~AppModelOnRouterTest() override {
    model.reset();
    machine.reset();
  }

  // The model as the application builds it, on the simulator's chime.
  AppModel& build(std::unique_ptr<CaptureCheckSound> sound = nullptr) {
    model.reset();
    AudioRouter::Environment environment(machine->system);
    environment.log = &log;
    environment.rateJournal = folder / "rate-restore.json";
    environment.queue = &machine->clock;
    environment.isLaptop = true;

    AppModel::Parts parts;
    parts.router = std::make_unique<AudioRouter>(environment);
    parts.settingsFile = folder / "settings.json";
    parts.log = &log;
    parts.loginItem = std::make_unique<FakeLoginItem>();
    parts.presence = std::make_unique<FakePresence>();
    parts.captureSound =
        sound ? std::move(sound) : std::make_unique<SimCaptureCheckSound>(machine->system);
    model = std::make_unique<AppModel>(machine->clock, std::move(parts));
    settle();
    return *model;
  }

  // Runs everything due now, including what those tasks leave due.
  void settle() { machine->clock.settle(); }
  void advance(double seconds) {
    machine->clock.advanceBy(seconds);
    settle();
  }

  const AudioDeviceInfo& deviceNamed(const std::string& uid) {
    for (const AudioDeviceInfo& device : model->devices()) {
      if (device.uid == uid) return device;
    }
    throw std::runtime_error("no device " + uid);
  }

  // Runs the capture check to its answer.
  std::optional<bool> verifyCapture() {
    std::optional<bool> heard;
    model->verifyCapture([&](bool result) { heard = result; });
    advance(6.0);
    return heard;
  }

  void expectNothingLeft() {
    const sim::ObjectCounts live = machine->system.liveObjects();
    EXPECT_EQ(live.taps, 0u) << "a process tap was left behind";
    EXPECT_EQ(live.aggregates, 0u) << "an aggregate device was left behind";
    EXPECT_EQ(live.ioProcs, 0u) << "an IO procedure was left registered";
  }

  TempFolder folder;
  TempFolder logFolder;
  Log log{logFolder / "choralink.log", Log::SystemLogSink{}};
  std::unique_ptr<sim::SimMachine> machine;
  std::unique_ptr<AppModel> model;
};

TEST_F(AppModelOnRouterTest, SharingToTwoDevicesRidesOutAnUnplugAndStopsClean) {
  machine->system.addDevice(presets::builtInSpeakers());
  machine->system.addDevice(presets::hdmiTV());
  build();
  ASSERT_EQ(model->devices().size(), 2u);
  const std::string tvName = deviceNamed(presets::kTVUID).name;

  model->setEnabled(deviceNamed(presets::kSpeakersUID), true);
  model->setEnabled(deviceNamed(presets::kTVUID), true);
  model->startSharing();
  advance(1.0);
  ASSERT_TRUE(model->engineState().is(EngineState::Kind::running)) << model->statusLine();
  EXPECT_EQ(model->activeUIDs(), (std::set<std::string>{presets::kSpeakersUID, presets::kTVUID}));
  EXPECT_EQ(model->statusLine(), "Sharing to 2 devices · In sync");
  EXPECT_FALSE(model->statusIsWarning());
  EXPECT_TRUE(model->metersRunning());
  EXPECT_GT(model->levels().at(presets::kTVUID), 0.0f) << "the meters read the playing tone";

  // The TV goes away mid-broadcast: sharing goes on on the speakers.
  ASSERT_TRUE(machine->system.removeDevice(presets::kTVUID));
  advance(1.0);
  EXPECT_TRUE(model->engineState().is(EngineState::Kind::running)) << model->statusLine();
  EXPECT_EQ(model->lostNotice(), tvName + " disconnected — still playing on 1 device");
  EXPECT_EQ(model->statusLine(), *model->lostNotice());
  EXPECT_TRUE(model->statusIsWarning());
  EXPECT_EQ(model->activeUIDs(), std::set<std::string>{presets::kSpeakersUID});

  // It comes back and joins again; the notice goes.
  machine->system.addDevice(presets::hdmiTV());
  advance(1.0);
  EXPECT_TRUE(model->engineState().is(EngineState::Kind::running)) << model->statusLine();
  EXPECT_EQ(model->lostNotice(), std::nullopt);
  EXPECT_EQ(model->activeUIDs(), (std::set<std::string>{presets::kSpeakersUID, presets::kTVUID}));
  EXPECT_FALSE(model->statusIsWarning());

  model->stopSharing();
  advance(0.5);
  EXPECT_TRUE(model->engineState().is(EngineState::Kind::off));
  EXPECT_EQ(model->statusLine(), "Off");
  EXPECT_FALSE(model->metersRunning());
  expectNothingLeft();

  // Quitting from the main thread saves the choices for the next start.
  machine->clock.post([this] { model->shutdown(); });
  settle();
  const AppSettings saved = SettingsStore(folder / "settings.json", log).load();
  EXPECT_TRUE(saved.devices.at(presets::kSpeakersUID).enabled);
  EXPECT_TRUE(saved.devices.at(presets::kTVUID).enabled);
}

// The capture check's three answers, with the check sound really going
// through the simulated system mix and the router's capture probe.
TEST_F(AppModelOnRouterTest, CaptureCheckHearsTheChimeOnlyWhenCaptureWorks) {
  machine->system.setSystemMix(sim::SignalSource::silence());
  machine->system.addDevice(presets::builtInSpeakers());

  {
    SCOPED_TRACE("capture works: the chime is heard");
    build();
    EXPECT_EQ(verifyCapture(), std::optional<bool>(true));
    expectNothingLeft();
  }
  {
    SCOPED_TRACE("nothing plays: silence is not a working capture");
    build(std::make_unique<NoCaptureCheckSound>());
    EXPECT_EQ(verifyCapture(), std::optional<bool>(false));
    expectNothingLeft();
  }
  {
    SCOPED_TRACE("capture blocked: the callback never runs");
    machine->system.setCaptureBlocked(true);
    build();
    EXPECT_EQ(verifyCapture(), std::optional<bool>(false));
    expectNothingLeft();
  }
  const std::string lines = log.tail(1'000'000);
  EXPECT_NE(lines.find("Capture probe: sound detected"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Capture probe: silence"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Capture probe: blocked (callback never ran)"), std::string::npos) << lines;
}

}  // namespace
}  // namespace choralink::test

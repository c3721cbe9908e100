// The app model on the real engine, once: the router on the simulated audio
// system, one virtual clock for the model, the router's queue, the
// simulator's joins and its IO. One broadcast from the model's start to its
// quit; the model's rules are the suites on the fake router, an unplug and a
// return the router's supervision suite.
#include <gtest/gtest.h>

#include <memory>
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

  // The model as the application builds it.
  AppModel& build() {
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
    parts.captureSound = std::make_unique<SimCaptureCheckSound>(machine->system);
    model = std::make_unique<AppModel>(machine->clock, std::move(parts));
    settle();
    return *model;
  }

  // Runs everything due now, including what those tasks leave due.
  void settle() { machine->clock.settle(); }

  TempFolder folder;
  Log log{folder / "choralink.log", Log::SystemLogSink{}};
  std::unique_ptr<sim::SimMachine> machine;
  std::unique_ptr<AppModel> model;
};

TEST_F(AppModelOnRouterTest, SharingToTwoDevicesPlaysStopsCleanAndIsSavedOnQuit) {
  machine->system.addDevice(presets::builtInSpeakers());
  machine->system.addDevice(presets::hdmiTV());
  build();

  for (const AudioDeviceInfo& device : model->devices())
    model->setEnabled(device, true);
  model->startSharing();
  machine->clock.advanceBy(1.0);
  settle();
  ASSERT_TRUE(model->engineState().is(EngineState::Kind::running)) << model->statusLine();
  EXPECT_EQ(model->activeUIDs(), (std::set<std::string>{presets::kSpeakersUID, presets::kTVUID}));
  EXPECT_FALSE(model->statusIsWarning());
  EXPECT_GT(model->levels().at(presets::kTVUID), 0.0f) << "the meters read the playing tone";

  model->stopSharing();
  machine->clock.advanceBy(0.5);
  settle();
  EXPECT_TRUE(model->engineState().is(EngineState::Kind::off));
  const sim::ObjectCounts live = machine->system.liveObjects();
  EXPECT_EQ(live.taps + live.aggregates + live.ioProcs, 0u)
      << "a tap, aggregate or IO proc is left";

  // Quitting from the main thread saves the choices for the next start.
  machine->clock.post([this] { model->shutdown(); });
  settle();
  const AppSettings saved = SettingsStore(folder / "settings.json", log).load();
  EXPECT_TRUE(saved.devices.at(presets::kSpeakersUID).enabled);
  EXPECT_TRUE(saved.devices.at(presets::kTVUID).enabled);
}

}  // namespace
}  // namespace choralink::test

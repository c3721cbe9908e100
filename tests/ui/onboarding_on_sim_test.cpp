// Onboarding end to end on the simulated machine: the real router, its
// capture probe hearing the simulator's chime through the system mix, and a
// first run that ends broadcasting on the speakers picked in the last step.
#include <gtest/gtest.h>

#include <memory>

#include "app/model/app_model.h"
#include "app/ui/onboarding/onboarding_flow.h"
#include "app/wiring/sim_capture_check_sound.h"
#include "engine/control/audio_router.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_machine.h"
#include "tests/app/app_fixture.h"

namespace choralink::test {
namespace {

namespace presets = sim::presets;

TEST(OnboardingOnTheSimulatedMachine, FirstRunHearsTheChimeAndEndsBroadcasting) {
  TempFolder folder;
  Log log{folder / "choralink.log", Log::SystemLogSink{}};
  sim::SimMachine machine{sim::SimOptions{}};
  machine.system.setSystemMix(sim::SignalSource::silence());
  machine.system.addDevice(presets::builtInSpeakers());
  machine.system.addDevice(presets::hdmiTV());

  AudioRouter::Environment environment(machine.system);
  environment.log = &log;
  environment.rateJournal = folder / "rate-restore.json";
  environment.queue = &machine.clock;
  environment.isLaptop = true;
  AppModel::Parts parts;
  parts.router = std::make_unique<AudioRouter>(environment);
  parts.settingsFile = folder / "settings.json";
  parts.log = &log;
  parts.loginItem = std::make_unique<FakeLoginItem>();
  parts.presence = std::make_unique<FakePresence>();
  parts.captureSound = std::make_unique<SimCaptureCheckSound>(machine.system);
  auto model = std::make_unique<AppModel>(machine.clock, std::move(parts));
  machine.clock.advanceBy(0.5);
  ASSERT_TRUE(model->showOnboarding());
  ASSERT_EQ(model->devices().size(), 2u);

  {
    ui::OnboardingFlow flow(*model);
    flow.pressPrimary();  // welcome → capture
    flow.pressPrimary();  // the check
    ASSERT_TRUE(machine.clock.runUntil([&] { return !flow.checking(); }, 10.0));
    ASSERT_EQ(flow.heard(), true) << log.tail(4000);
    flow.pressPrimary();  // capture → speakers
    ASSERT_EQ(flow.step(), ui::OnboardingFlow::Step::pickDevices);
    for (const AudioDeviceInfo& device : model->devices()) {
      if (device.uid == presets::kTVUID) model->setEnabled(device, true);
    }
    ASSERT_EQ(flow.primary().title, "Start Sharing");
    flow.pressPrimary();
  }
  machine.clock.advanceBy(1.0);
  EXPECT_FALSE(model->showOnboarding());
  EXPECT_TRUE(model->settings().onboardingDone);
  ASSERT_TRUE(model->engineState().is(EngineState::Kind::running)) << model->statusLine();
  // The first run switched the default output on; the TV was picked.
  EXPECT_EQ(model->activeUIDs(), (std::set<std::string>{presets::kSpeakersUID, presets::kTVUID}));

  model->stopSharing();
  machine.clock.advanceBy(1.0);
  model.reset();
  EXPECT_EQ(machine.system.liveObjects().taps, 0u);
}

}  // namespace
}  // namespace choralink::test

// What the views show: the status line, its warning flag, the lost-device
// notice and the sharing count, for every state of the broadcast.
#include <tuple>

#include <gtest/gtest.h>

#include "app/model/platform_texts.h"
#include "tests/app/app_fixture.h"

namespace choralink {
namespace {

using test::AppModelTest;

class StatusTest : public AppModelTest {
 protected:
  void expectStatus(const std::string& line, bool warning) {
    EXPECT_EQ(model->statusLine(), line);
    EXPECT_EQ(model->statusIsWarning(), warning);
  }
};

TEST_F(StatusTest, EachStateOfTheBroadcastHasItsLine) {
  const std::string silent =
      "No sound yet — play something, or check that Choralink may record system audio";
  // After a broadcast on the TV began, these events leave that line.
  const std::vector<std::tuple<EngineEvent, std::string, bool>> cases{
      {EngineEvent::rebuilding(), "Updating devices…", false},
      {EngineEvent::captureSilent(true), silent, true},
      {EngineEvent::stopped(StopReason::serviceGone()), "The sound server stopped", true},
  };
  for (const auto& [event, line, warning] : cases) {
    SCOPED_TRACE(line);
    model.reset();
    buildWith(settingsWith({"tv"}));
    expectStatus("Off", false);
    startRunning({"tv"});
    expectStatus("Sharing to 1 device · In sync", false);
    send(event);
    expectStatus(line, warning);
  }
  model->setEnabled(tv, false);
  expectStatus("Choose where to play your computer's sound", false);
  model->setEnabled(tv, true);
  model->startSharing();
  expectStatus("Starting…", false);
}

TEST_F(StatusTest, MirrorModeCountsTheSystemsOwnOutputWhileThereIsOne) {
  buildWith(settingsWith({"tv", "desk"}, BroadcastMode::mirror));
  startRunning({"tv", "desk"});
  expectStatus("Sharing to 3 devices · In sync", false);
  AudioDeviceInfo notDefault = spk;
  notDefault.isDefaultOutput = false;
  publish({notDefault, desk, tv});
  EXPECT_EQ(model->sharingCount(), 2);
}

TEST_F(StatusTest, LostDevicesAreNamedInOrderWithTheCountStillPlaying) {
  buildWith(settingsWith({"tv", "desk", "buds"}));
  startRunning({"tv", "desk", "buds"});
  send(EngineEvent::deviceLost("tv", "TV"));
  send(EngineEvent::deviceLost("desk", "Desk Speaker"));
  send(EngineEvent::started({"buds", "spk"}));
  expectStatus("Desk Speaker, TV disconnected — still playing on 2 devices", true);
  send(EngineEvent::started({"buds"}));
  EXPECT_EQ(model->lostNotice(), "Desk Speaker, TV disconnected — still playing on 1 device");
  // The notice even outranks silent capture.
  send(EngineEvent::captureSilent(true));
  EXPECT_EQ(model->statusLine(), *model->lostNotice());
  // Only a running broadcast shows it.
  send(EngineEvent::rebuilding());
  EXPECT_EQ(model->lostNotice(), std::nullopt);
  expectStatus("Updating devices…", false);
}

TEST_F(StatusTest, SettingsThatCannotBeSavedAreAWarningUntilSharing) {
  test::writeFile(settingsFile(), "not JSON");
  std::filesystem::create_directory(folder / "settings.json.bad");
  build();
  publish({spk, desk});
  expectStatus(model->settingsWarning(), true);
  model->setEnabled(desk, true);
  startRunning({"desk"});
  expectStatus("Sharing to 1 device · In sync", false);
}

TEST_F(StatusTest, BlockedCaptureAsksForPermissionWhileNotSharing) {
  buildWith(settingsWith({"tv"}));
  startRunning({"tv"});
  const std::string ask =
      "Allow Choralink to record system audio in your desktop's privacy settings";
  send(EngineEvent::stopped(StopReason::captureBlocked()));
  expectStatus(ask, true);
  EXPECT_EQ(model->engineState(), EngineState::off());
  // Should the engine report work again while the flag is still up, the
  // broadcast's own line wins.
  send(EngineEvent::rebuilding());
  expectStatus("Updating devices…", false);
  send(EngineEvent::stopped(StopReason::user()));
  expectStatus(ask, true);
}

TEST(PlatformTextsTest, LinuxWordingsNameNoFacilityOfTheOriginalPlatform) {
  for (const PlatformTexts::Text& text : PlatformTexts::kAll) {
    SCOPED_TRACE(std::string(text.original));
    EXPECT_NE(text.original, text.onLinux);
    for (std::string_view word : {"Mac", "macOS", "System Settings", "x-apple"}) {
      EXPECT_EQ(text.onLinux.find(word), std::string_view::npos) << word;
    }
  }
}

}  // namespace
}  // namespace choralink

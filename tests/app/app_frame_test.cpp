// The frame's toolkit-free rules: what the development variables ask for,
// how snapshot files are named, where the instance listens, and the wiring's
// launch-finished sequence on the simulated machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/wiring/app_wiring.h"
#include "app/wiring/frame_rules.h"
#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/sim/presets.h"
#include "support/paths.h"
#include "tests/app/app_fixture.h"
#include "tests/common/log_capture.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_folder.h"

namespace choralink::test {
namespace {

TEST(FrameRules, DevelopmentVariables) {
  struct Case {
    std::map<std::string, std::string> env;
    bool autostart;
    std::optional<double> snapshotDelay;  // none: no snapshots
  };
  const std::vector<Case> cases{
      {{}, false, std::nullopt},
      {{{"CHORALINK_DEV_AUTOSTART", "1"}}, true, std::nullopt},
      {{{"CHORALINK_DEV_AUTOSTART", "true"}}, false, std::nullopt},
      {{{"CHORALINK_DEV_AUTOSTART", " 1"}}, false, std::nullopt},
      {{{"CHORALINK_SNAPSHOT_DIR", "/tmp/s"}}, false, 3.0},
      {{{"CHORALINK_SNAPSHOT_DIR", "/tmp/s"}, {"CHORALINK_SNAPSHOT_DELAY", "0.5"}}, false, 0.5},
      {{{"CHORALINK_SNAPSHOT_DIR", "/tmp/s"}, {"CHORALINK_SNAPSHOT_DELAY", "1e1"}}, false, 10.0},
      {{{"CHORALINK_SNAPSHOT_DIR", "/tmp/s"}, {"CHORALINK_SNAPSHOT_DELAY", "abc"}}, false, 3.0},
      {{{"CHORALINK_SNAPSHOT_DIR", "/tmp/s"}, {"CHORALINK_SNAPSHOT_DELAY", ""}}, false, 3.0},
      {{{"CHORALINK_SNAPSHOT_DIR", "/tmp/s"}, {"CHORALINK_SNAPSHOT_DELAY", "-1"}}, false, 3.0},
      {{{"CHORALINK_SNAPSHOT_DIR", "/tmp/s"}, {"CHORALINK_SNAPSHOT_DELAY", "inf"}}, false, 3.0},
      {{{"CHORALINK_SNAPSHOT_DIR", ""}, {"CHORALINK_SNAPSHOT_DELAY", "1"}}, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.env));
    const DevelopmentRequests got = readDevelopmentRequests([&](const char* name) -> const char* {
      const auto found = c.env.find(name);
      return found == c.env.end() ? nullptr : found->second.c_str();
    });
    EXPECT_EQ(got.autostart, c.autostart);
    ASSERT_EQ(got.snapshots.has_value(), c.snapshotDelay.has_value());
    if (got.snapshots) {
      EXPECT_EQ(got.snapshots->folder, "/tmp/s");
      EXPECT_DOUBLE_EQ(got.snapshots->delaySeconds, *c.snapshotDelay);
    }
  }
}

TEST(FrameRules, AutopilotTakesOnlyOnboardingAndSaysWhatItIgnores) {
  const std::vector<std::tuple<const char*, bool, std::string>> cases{
      {nullptr, false, ""},
      {"", false, ""},
      {"onboarding", true, ""},
      {"Onboarding ", false,
       R"(CHORALINK_AUTOPILOT is "Onboarding "; the only autopilot is "onboarding": ignored)"},
  };
  for (const auto& [value, autopilot, ignored] : cases) {
    SCOPED_TRACE(value == nullptr ? "(unset)" : value);
    const DevelopmentRequests got = readDevelopmentRequests([value](const char* name) {
      return std::string_view(name) == kAutopilotVariable ? value : nullptr;
    });
    EXPECT_EQ(got.onboardingAutopilot, autopilot);
    EXPECT_EQ(got.ignored, ignored);
  }
}

TEST(FrameRules, SnapshotOpenListNamesOnlyTheTrayWindows) {
  struct Case {
    const char* value;
    bool panel, settings;
  };
  const Case cases[] = {
      {nullptr, false, false},
      {"", false, false},
      {"panel", true, false},
      {" settings , panel ", true, true},
      {"Panel,main,,setting", false, false},
      {"settings,", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "(unset)" : c.value);
    SnapshotRequest request;
    readSnapshotOpenList(c.value, request);
    EXPECT_EQ(request.openPanel, c.panel);
    EXPECT_EQ(request.openSettings, c.settings);
  }
}

TEST(FrameRules, SnapshotFileNames) {
  const std::vector<std::tuple<int, std::string, std::string>> cases{
      {0, "main", "0-main.png"},    {3, "", "3-window3.png"},   {12, "settings", "12-settings.png"},
      {1, "../x", "1-window1.png"}, {2, "..", "2-window2.png"}, {4, "a/b", "4-window4.png"},
  };
  for (const auto& [number, identifier, expected] : cases) {
    EXPECT_EQ(snapshotFileName(number, identifier), expected) << identifier;
  }
}

TEST(FrameRules, InstanceSocketIsPerUser) {
  EXPECT_EQ(instanceSocketName("/run/user/1000", 1000),
            "/run/user/1000/app.choralink.Choralink.instance");
  // A relative or missing runtime folder would put the socket wherever the
  // program was started, so each user gets a named one instead.
  EXPECT_EQ(instanceSocketName("run/user", 1000), "app.choralink.Choralink-1000");
  EXPECT_EQ(instanceSocketName(nullptr, 1001), "app.choralink.Choralink-1001");
  EXPECT_EQ(instanceSocketName("", 1001), "app.choralink.Choralink-1001");
}

// The wiring on the simulated machine, its model on virtual time.
class AppWiringTest : public ::testing::Test {
 protected:
  AppWiring& build() {
    auto presence = std::make_unique<FakePresence>();
    presence_ = presence.get();
    AppWiring::Parts parts;
    parts.presence = std::move(presence);
    parts.backend.request = "sim";
    parts.log = &logs.log();
    wiring_ = std::make_unique<AppWiring>(clock, std::move(parts));
    return *wiring_;
  }

  TempFolder home;
  ScopedEnv config{"XDG_CONFIG_HOME", (home / "config").string()};
  ScopedEnv state{"XDG_STATE_HOME", (home / "state").string()};
  LogCapture logs{home.path()};
  VirtualExecutor clock{"main"};
  FakePresence* presence_ = nullptr;
  std::unique_ptr<AppWiring> wiring_;
};

TEST_F(AppWiringTest, LaunchFinishedRunsInOrderAndAutostartsTwoSecondsLater) {
  writeFile(Paths::settingsFile(),
            R"({"appearance": "dark", "show_in_dock": false,
                "devices": {"gone": {"enabled": false}}})");
  AppWiring& wiring = build();
  EXPECT_EQ(wiring.backendNote(), "Devices are simulated (CHORALINK_AUDIO_BACKEND=sim).");

  std::vector<std::string> steps;
  DevelopmentRequests requests;
  requests.autostart = true;
  requests.snapshots = SnapshotRequest{"/tmp/shots", 1.5};
  requests.ignored = "CHORALINK_AUTOPILOT is \"x\": ignored";
  wiring.launchFinished(
      requests,
      [&](const SnapshotRequest& request) {
        EXPECT_EQ(presence_->appearances, std::vector{AppearanceMode::dark});
        EXPECT_EQ(presence_->taskbar, std::vector{false});
        steps.push_back("snapshots " + request.folder.string());
      },
      [&] { steps.push_back("sleep and wake"); });
  EXPECT_EQ(steps, (std::vector<std::string>{"snapshots /tmp/shots", "sleep and wake"}));
  EXPECT_TRUE(std::ranges::count(logs.messages(), requests.ignored)) << "said, not swallowed";

  // A stored device entry keeps the first device list from switching the
  // default output on, so the press shows the start button's own refusal:
  // proof that it was pressed, and not before its time.
  clock.advanceBy(kDevAutostartDelay - 0.1);
  EXPECT_EQ(wiring.model().engineState(), EngineState::off());
  clock.advanceBy(0.2);
  EXPECT_EQ(wiring.model().engineState(), EngineState::failed("Turn on at least one device"));
}

TEST_F(AppWiringTest, TheSimulatedMachineOffersItsMicrophoneForCalibration) {
  AppWiring& wiring = build();
  const std::vector<InputDeviceInfo>& microphones = wiring.calibration().microphones();
  ASSERT_EQ(microphones.size(), 1u);
  EXPECT_EQ(microphones[0].uid, sim::presets::kMicrophoneUID);
  EXPECT_FALSE(wiring.calibration().canCalibrate()) << "not broadcasting yet";
}

}  // namespace
}  // namespace choralink::test

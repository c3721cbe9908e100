// The settings window's tabs against a real app model on the fake router.
#include "app/ui/settings/settings_window.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTabWidget>

#include "app/ui/about_pane.h"
#include "app/ui/general_pane.h"
#include "app/ui/settings/sync_pane.h"
#include "app/ui/widgets.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

class SettingsWindowTest : public UiTest {
 protected:
  ui::SettingsView& open(const AppSettings& settings) {
    settingsWindow.reset();
    show(settings, {speakers, tv});
    settingsWindow = std::make_unique<ui::SettingsWindow>(*model, *bridge);
    settingsWindow->present();
    settle();
    return *settingsWindow->view();
  }
  void TearDown() override {
    settingsWindow.reset();
    UiTest::TearDown();
  }

  AudioDeviceInfo speakers = device("spk", "Speakers", Transport::builtIn, true);
  AudioDeviceInfo tv = device("tv", "TV", Transport::hdmi);
  std::unique_ptr<ui::SettingsWindow> settingsWindow;
};

TEST_F(SettingsWindowTest, OneWindowOfThreeTabsThatASecondRequestRaises) {
  ui::SettingsView& view = open(settingsWith({"tv"}));
  settingsWindow->hide();
  settingsWindow->present();
  settingsWindow->present();
  settle();
  EXPECT_TRUE(settingsWindow->isVisible());
  EXPECT_EQ(settingsWindow->width(), ui::SettingsView::kWidth);
  ASSERT_EQ(view.tabs()->count(), 3);
  EXPECT_EQ(view.tabs()->tabText(0), u"General"_s);
  EXPECT_EQ(view.tabs()->tabText(1), u"Sync"_s);
  EXPECT_EQ(view.tabs()->tabText(2), u"About"_s);
}

TEST_F(SettingsWindowTest, TestSyncOnlyWhileABroadcastRuns) {
  ui::SyncPane& sync = *open(settingsWith({"tv"})).sync();
  router->completeAtOnce = false;
  const std::vector<std::pair<const char*, std::function<void()>>> states{
      {"off", [] {}},
      {"starting", [&] { model->startSharing(); }},
      {"running", [&] { send(EngineEvent::started({"tv"})); }},
      {"rebuilding", [&] { send(EngineEvent::rebuilding()); }},
      {"failed", [&] { send(EngineEvent::error("Device vanished")); }},
  };
  for (const auto& [state, reach] : states) {
    reach();
    settle();
    EXPECT_EQ(sync.testSync()->isEnabled(), std::string_view(state) == "running") << state;
  }
  send(EngineEvent::started({"tv"}));
  settle();
  sync.testSync()->click();
  model->setOffset(tv, 40);
  sync.resetDelays()->click();
  EXPECT_EQ(router->count("playTestTone"), 1u);
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 0);
}

TEST_F(SettingsWindowTest, UpdateControlsFollowTheUpdatersState) {
  struct Case {
    bool controller, canCheck;
    bool automaticRow, checkEnabled;
  };
  for (const Case& c : {Case{false, false, false, true}, Case{true, false, true, false},
                        Case{true, true, true, true}}) {
    SCOPED_TRACE(::testing::Message()
                 << "controller " << c.controller << " canCheck " << c.canCheck);
    auto fake = std::make_unique<FakeUpdater>();
    updater = fake.get();
    updaterForBuild = std::move(fake);
    ui::SettingsView& view = open(settingsWith({"tv"}));
    updater->set(c.controller, c.canCheck);
    settle();
    EXPECT_EQ(view.general()->automaticUpdatesRow()->isVisible(), c.automaticRow);
    EXPECT_EQ(view.about()->checkForUpdates()->isEnabled(), c.checkEnabled);
  }
}

TEST_F(SettingsWindowTest, MirrorSwitchChangesTheRunningBroadcastOrStopsIt) {
  struct Case {
    std::vector<std::string> enabled;
    bool keepsRunning;
  };
  for (const Case& c : {Case{{"spk", "tv"}, true}, Case{{"spk"}, false}}) {
    ui::SettingsView& view = open(settingsWith(c.enabled));
    startRunning(c.enabled);
    settle();
    view.general()->mirrorSwitch()->click();
    settle();
    EXPECT_EQ(model->settings().mode, BroadcastMode::mirror);
    if (c.keepsRunning) {
      ASSERT_FALSE(router->updates.empty());
      EXPECT_EQ(router->updates.back().mode, BroadcastMode::mirror);
    } else {
      EXPECT_EQ(model->engineState(), EngineState::off());
      EXPECT_EQ(router->stops, 1);
    }
  }
}

}  // namespace
}  // namespace choralink::test

// The settings window and its Sync tab against a real app model on the fake
// router (the General and About panes have their own suite).
#include "app/ui/settings/settings_window.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTabWidget>

#include "app/ui/settings/sync_pane.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

TEST_F(UiTest, SettingsWindowIsOneWindowOfThreeTabsAndTestSyncWaitsForARunningBroadcast) {
  show(settingsWith({"tv"}), {tv});
  ui::SettingsWindow settings(*model, *bridge);
  settings.present();
  settings.present();  // raises the same window
  settle();
  EXPECT_TRUE(settings.isVisible());
  EXPECT_EQ(settings.view()->tabs()->count(), 3);

  // Which states allow a sync test is the view rules' table; the pane follows it.
  ui::SyncPane& sync = *settings.view()->sync();
  EXPECT_FALSE(sync.testSync()->isEnabled());
  startRunning({"tv"});
  settle();
  EXPECT_TRUE(sync.testSync()->isEnabled());
  model->setOffset(tv, 40);
  sync.resetDelays()->click();
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 0);
}

}  // namespace
}  // namespace choralink::test

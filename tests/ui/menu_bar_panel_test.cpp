// The tray panel against a real app model on the fake router: the share
// switch, the device rows and the commands.
#include "app/ui/panel/menu_bar_panel.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include "app/ui/panel/menu_item.h"
#include "app/ui/widgets.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

class MenuBarPanelTest : public UiTest {
 protected:
  ui::MenuBarPanel& open(const AppSettings& settings) {
    show(settings, {spk, tv, air});
    panel = std::make_unique<ui::MenuBarPanel>(*model, *bridge);
    panel->showAt(QRect(1500, 4, 24, 24));
    settle();
    return *panel;
  }
  ui::MenuItem* row(const QString& accessibleName) {
    return named<ui::MenuItem>(accessibleName, panel.get());
  }
  void TearDown() override {
    panel.reset();
    UiTest::TearDown();
  }

  std::unique_ptr<ui::MenuBarPanel> panel;
};

// Which start the model refuses, and in which words, is the model's
// (DeviceChoiceTest.MirrorModeWithOnlyTheSystemOutputEnabledHasNothingToPlayOn);
// the panel's part is to stay off and show them.
TEST_F(MenuBarPanelTest, ShareSwitchWithoutAPlayableDeviceStaysOffAndSaysWhy) {
  open(settingsWith({"spk"}, BroadcastMode::mirror));
  click(panel->shareSwitch());
  EXPECT_FALSE(panel->shareSwitch()->isChecked());
  EXPECT_EQ(panel->statusLabel()->text(), QString::fromStdString(model->statusLine()));
}

TEST_F(MenuBarPanelTest, RowsSwitchDevicesAndTheLastOneOffStopsTheBroadcast) {
  open(settingsWith({"tv"}));
  panel->shareSwitch()->click();
  send(EngineEvent::started({"tv"}));
  settle();
  ASSERT_TRUE(panel->shareSwitch()->isChecked());

  ASSERT_NE(row(u"Apple TV, off"_s), nullptr);
  EXPECT_FALSE(row(u"Apple TV, off"_s)->isEnabled());
  QSlider* volume = named<QSlider>(u"TV volume"_s, panel.get());
  ASSERT_NE(volume, nullptr);
  volume->setValue(37);
  settle();
  EXPECT_EQ(model->deviceSettings("tv").volume, 37);

  // That the last device off stops the broadcast is the model's
  // (DeviceChoiceTest.EnablingWhileSharingUpdatesTheEngineUntilTheLastDeviceGoes).
  click(row(u"TV, on"_s));
  EXPECT_FALSE(panel->shareSwitch()->isChecked());
  EXPECT_FALSE(named<QSlider>(u"TV volume"_s, panel.get())->isVisible());
}

TEST_F(MenuBarPanelTest, CommandsAnswerTheirShortcutsAndActLikeAMenu) {
  open(settingsWith({"tv"}));
  int opened = 0;
  model->setOpenMainWindow([&] { ++opened; });
  QSignalSpy settings(panel.get(), &ui::MenuBarPanel::settingsRequested);
  QSignalSpy quit(panel.get(), &ui::MenuBarPanel::quitRequested);

  row(u"Open Choralink…"_s)->click();
  EXPECT_EQ(opened, 1);
  EXPECT_FALSE(panel->isVisible());  // a command closes the panel, as a menu does

  panel->showAt({});
  QTest::keyClick(panel.get(), Qt::Key_Comma, Qt::ControlModifier);
  EXPECT_EQ(settings.count(), 1);
  panel->showAt({});
  QTest::keyClick(panel.get(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(quit.count(), 1);

  panel->showAt({});
  QTest::keyClick(panel.get(), Qt::Key_Escape);
  EXPECT_FALSE(panel->isVisible());
}

}  // namespace
}  // namespace choralink::test

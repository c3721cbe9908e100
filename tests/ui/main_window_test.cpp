// The main window against a real app model on the fake router: that each
// control's operation reaches the model, and what the window itself decides
// (narrow cards, the Return key, an edit surviving refreshes). The texts and
// states behind the widgets are the view rules' tables.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "app/ui/about_pane.h"
#include "app/ui/delay_field.h"
#include "app/ui/devices_page.h"
#include "app/ui/general_pane.h"
#include "app/ui/level_meter.h"
#include "app/ui/palette.h"
#include "app/ui/sidebar.h"
#include "app/ui/sync_page.h"
#include "app/ui/tray_icon.h"
#include "app/ui/widgets.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

class MainWindowTest : public UiTest {
 protected:
  ui::DevicesPage& devicesPage() {
    return *static_cast<ui::DevicesPage*>(window->page(AppSection::devices));
  }
  ui::SyncPage& syncPage() { return *static_cast<ui::SyncPage*>(window->page(AppSection::sync)); }
  ui::DeviceCard& card(const std::string& uid) {
    for (ui::DeviceCard* card : devicesPage().cards()) {
      if (card->device().uid == uid) return *card;
    }
    throw std::runtime_error("no card for " + uid);
  }
  ui::BroadcastBar& bar() { return *devicesPage().broadcastBar(); }
};

TEST_F(MainWindowTest, DeviceControlsCallTheModelWithTheirAccessibleNames) {
  show(settingsWith({"tv"}), {spk, tv});
  click(named<ui::ToggleSwitch>(u"Play on Speakers"_s));
  EXPECT_TRUE(model->deviceSettings("spk").enabled);

  QSlider* volume = named<QSlider>(u"TV volume"_s);
  ASSERT_NE(volume, nullptr);
  volume->setValue(35);
  settle();
  EXPECT_EQ(model->deviceSettings("tv").volume, 35);

  // A typed delay is committed when the field is left (Return: below).
  QLineEdit* delay = named<QLineEdit>(u"TV delay"_s);
  ASSERT_NE(delay, nullptr);
  delay->setFocus();
  delay->setText(u"12"_s);
  card("tv").volumeSlider()->setFocus();
  settle();
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 12);

  click(card("tv").delayField()->stepDown());
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 7);
}

TEST_F(MainWindowTest, TypingInADelayFieldSurvivesMeterRefreshes) {
  show(settingsWith({"tv"}), {spk, tv});
  startRunning({"tv"});
  QLineEdit* delay = card("tv").delayField()->editor();
  delay->setFocus();
  delay->setText(u"3"_s);
  router->peaks["tv"] = 0.5f;
  advance(0.2);  // several meter ticks, each a model change
  settle();
  EXPECT_EQ(delay->text(), u"3"_s);
  EXPECT_GT(card("tv").meter()->litCount(), 0);
}

TEST_F(MainWindowTest, CardsShowSupportDirectPlayAndProblems) {
  AudioDeviceInfo budsDefault = buds;
  budsDefault.isDefaultOutput = true;
  show(settingsWith({"tv", "buds", "air"}, BroadcastMode::mirror), {budsDefault, tv, air});

  EXPECT_TRUE(card("air").toggle()->isHidden());
  EXPECT_FALSE(card("air").controls()->isEnabled());
  EXPECT_TRUE(card("buds").toggle()->isHidden());  // playing directly
  EXPECT_FALSE(card("tv").toggle()->isHidden());

  ASSERT_EQ(devicesPage().banners()->shown().size(), 1u);
  click(devicesPage().banners()->banner(0)->actionButton());
  EXPECT_EQ(window->currentPage(), window->page(AppSection::sync));

  send(EngineEvent::deviceSkipped("tv", "TV is busy"));
  settle();
  EXPECT_EQ(card("tv").problemLabel()->text(), u"TV is busy"_s);
}

TEST_F(MainWindowTest, NarrowCardsPutTheirControlsUnderTheName) {
  show(settingsWith({"tv"}), {spk, tv});
  EXPECT_TRUE(card("tv").singleRow());
  card("tv").resize(500, card("tv").height());
  EXPECT_FALSE(card("tv").singleRow());
  EXPECT_GT(card("tv").controls()->y(), card("tv").nameLabel()->y());
}

TEST_F(MainWindowTest, EmptyDevicesHintShowsWhileAtMostOneDeviceCanPlay) {
  show(settingsWith({"spk"}), {spk});
  EXPECT_FALSE(devicesPage().emptyHint()->isHidden());
  publish({spk, tv});
  settle();
  EXPECT_TRUE(devicesPage().emptyHint()->isHidden());
}

// Which states enable the buttons, and what the bar says, is the button
// rules' table; here, that the bar and the sync test follow the model.
TEST_F(MainWindowTest, BroadcastBarAndSyncTestFollowTheEngineState) {
  AppSettings nothingOn = settingsWith({"tv"});
  nothingOn.devices.at("tv").enabled = false;
  show(nothingOn, {spk, tv, buds});
  ui::SyncTestButton* syncTest = devicesPage().syncTestButton();
  EXPECT_FALSE(bar().mainButton()->isEnabled());

  click(named<ui::ToggleSwitch>(u"Play on Buds"_s));
  EXPECT_EQ(bar().selectedText()->text(), u"1 device selected"_s);
  click(bar().mainButton());
  EXPECT_EQ(model->engineState(), EngineState::starting());
  EXPECT_FALSE(syncTest->isEnabled());

  send(EngineEvent::started({"buds"}));
  settle();
  EXPECT_EQ(bar().statusText()->text(), QString::fromStdString(model->statusLine()));
  EXPECT_EQ(window->sidebar()->statusCard()->value(), u"1 device"_s);
  click(syncTest);
  EXPECT_EQ(router->count("playTestTone"), 1);
  EXPECT_TRUE(syncPage().syncTestButton()->isEnabled());

  // Sharing, even mid-rebuild, the button stops.
  send(EngineEvent::rebuilding());
  settle();
  EXPECT_FALSE(syncPage().syncTestButton()->isEnabled());
  click(bar().mainButton());
  EXPECT_EQ(model->engineState(), EngineState::off());
}

TEST_F(MainWindowTest, ReturnPressesTheMainButtonUnlessADelayFieldTakesIt) {
  show(settingsWith({"tv"}), {spk, tv});
  QLineEdit* delay = card("tv").delayField()->editor();
  delay->setFocus();
  delay->setText(u"30"_s);
  QTest::keyClick(delay, Qt::Key_Return);
  settle();
  EXPECT_EQ(model->engineState(), EngineState::off());
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 30);

  ui::ToggleSwitch* toggle = card("tv").toggle();
  toggle->setFocus();
  QTest::keyClick(toggle, Qt::Key_Return);
  settle();
  EXPECT_EQ(model->engineState(), EngineState::starting());
}

TEST_F(MainWindowTest, SidebarSelectsPagesAndOpensTheGuideWithoutLeavingThePage) {
  show(settingsWith({"tv"}), {spk, tv});
  ui::Sidebar& sidebar = *window->sidebar();
  click(sidebar.item(AppSection::sync));
  EXPECT_EQ(model->section(), AppSection::sync);
  EXPECT_TRUE(sidebar.item(AppSection::sync)->selected());
  click(sidebar.item(AppSection::howTo));
  EXPECT_EQ(model->section(), AppSection::sync);
  ASSERT_EQ(urls.opened.size(), 1u);
  EXPECT_EQ(urls.opened[0].path(), u"/learning"_s);

  click(sidebar.findChild<ui::AppearanceSwitch*>()->button(AppearanceMode::dark));
  EXPECT_EQ(model->settings().appearance, AppearanceMode::dark);
}

TEST_F(MainWindowTest, SyncPageSetsModeMasterVolumeAndResetsDelays) {
  AppSettings settings = settingsWith({"tv"});
  settings.devices.at("tv").offsetMs = 120;
  show(settings, {spk, tv});
  startRunning({"tv"});
  click(syncPage().modeCard(BroadcastMode::mirror));
  EXPECT_EQ(model->settings().mode, BroadcastMode::mirror);

  syncPage().masterSlider()->setValue(38);
  settle();
  EXPECT_EQ(model->settings().masterVolume, 38);

  click(syncPage().resetButton());
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 0);
  EXPECT_EQ(card("tv").delayField()->editor()->text(), u"0"_s);
}

TEST_F(MainWindowTest, GeneralPaneShowsUpdatesOnlyWithAControllerAndSwitchesMode) {
  auto fake = std::make_unique<FakeUpdater>();
  updater = fake.get();
  updaterForBuild = std::move(fake);
  show(settingsWith({"spk"}), {spk, tv});
  auto& general = *window->page(AppSection::settings)->findChild<ui::GeneralPane*>();
  auto& about = *window->page(AppSection::about)->findChild<ui::AboutPane*>();
  QAction* menuCheck = window->action(u"Check for Updates…"_s);
  ASSERT_NE(menuCheck, nullptr);

  EXPECT_TRUE(general.automaticUpdatesRow()->isHidden());
  updater->set(true, false);
  settle();
  EXPECT_FALSE(general.automaticUpdatesRow()->isHidden());
  EXPECT_FALSE(menuCheck->isEnabled());
  updater->set(true, true);
  settle();
  click(about.checkForUpdates());
  EXPECT_EQ(updater->checks, 1);

  click(general.mirrorSwitch());
  EXPECT_EQ(model->settings().mode, BroadcastMode::mirror);

  click(general.showInTaskbar());
  EXPECT_FALSE(model->settings().showInDock);
  click(general.appearanceSegment(AppearanceMode::light));
  EXPECT_EQ(model->settings().appearance, AppearanceMode::light);
}

TEST_F(MainWindowTest, SendFeedbackOpensTheWindowThenTheSheetAndMenuCommandsAreSignalled) {
  show(settingsWith({"tv"}), {spk, tv});
  std::vector<std::string> seen;
  model->setOpenMainWindow([&] { seen.push_back(model->showFeedback() ? "late" : "open"); });
  auto& about = *window->page(AppSection::about)->findChild<ui::AboutPane*>();
  click(about.sendFeedback());
  EXPECT_EQ(seen, std::vector<std::string>{"open"});
  EXPECT_TRUE(model->showFeedback());

  QSignalSpy quits(window.get(), &ui::MainWindow::quitRequested);
  QSignalSpy settingsAsked(window.get(), &ui::MainWindow::settingsRequested);
  window->action(u"Quit Choralink"_s)->trigger();
  window->action(u"Settings…"_s)->trigger();
  EXPECT_EQ(quits.count(), 1);
  EXPECT_EQ(settingsAsked.count(), 1);
}

TEST_F(MainWindowTest, TrayIconFollowsSharingAndItsMenuOpensTheWindow) {
  show(settingsWith({"tv"}), {spk, tv});
  ui::TrayIcon tray(*model, *bridge);
  EXPECT_FALSE(tray.showsOn());
  startRunning({"tv"});
  settle();
  EXPECT_EQ(tray.systemTrayIcon().toolTip(), u"Choralink, broadcasting"_s);
  EXPECT_TRUE(tray.showsOn());

  int opened = 0;
  model->setOpenMainWindow([&] { ++opened; });
  tray.contextMenu()->actions().first()->trigger();
  EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace choralink::test

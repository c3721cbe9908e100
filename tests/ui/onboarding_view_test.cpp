// The onboarding sheet over the main window, shown and taken away by its
// controller as the model says, against the fake router.
#include "app/ui/onboarding/onboarding_view.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include "app/ui/widgets.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

// The flow's steps and buttons are the flow's suite, a run end to end the
// binary's autopilot; the sheet's own part is below.
TEST_F(UiTest, OnboardingSheetEndsOnlyThroughItsButtonsAndOffersNoSwitchForAnUnsupportedDevice) {
  AppSettings firstRun = settingsWith({"spk"});
  firstRun.onboardingDone = false;
  firstRun.devices.at("spk").enabled = false;
  show(firstRun, {spk, tv, air});
  ui::OnboardingController controller(*model, *bridge, *window);
  settle();
  ui::OnboardingView* sheet = controller.view();
  ASSERT_NE(sheet, nullptr);
  QTest::keyClick(sheet, Qt::Key_Escape);
  sheet->close();
  settle();
  EXPECT_EQ(controller.view(), sheet);
  EXPECT_TRUE(sheet->isVisible() && sheet->isModal());

  router->callbackRan = true;
  sound->onPlay = [this] { router->inputPeak = 0.5f; };
  click(sheet->primaryButton());  // welcome → capture
  click(sheet->primaryButton());  // the check
  ASSERT_TRUE(clock.runUntil([&] { return !sheet->flow().checking(); }, 10.0));
  click(sheet->primaryButton());  // capture → speakers
  EXPECT_NE(named<ui::ToggleSwitch>(u"TV"_s, sheet), nullptr);
  EXPECT_EQ(named<ui::ToggleSwitch>(u"Apple TV"_s, sheet), nullptr);
  click(sheet->primaryButton());  // "Done"
  EXPECT_EQ(controller.view(), nullptr);
}

}  // namespace
}  // namespace choralink::test

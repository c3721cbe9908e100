// The onboarding sheet over the main window, shown and taken away by its
// controller as the model says, against the fake router.
#include "app/ui/onboarding/onboarding_view.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/ui/widgets.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

class OnboardingViewTest : public UiTest {
 protected:
  void launch() {
    AppSettings firstRun = settingsWith({"spk"});
    firstRun.onboardingDone = false;
    firstRun.devices.at("spk").enabled = false;
    show(firstRun, {device("spk", "Speakers", Transport::builtIn, true),
                    device("tv", "TV", Transport::hdmi), device("den", "Den", Transport::airPlay)});
    controller = std::make_unique<ui::OnboardingController>(*model, *bridge, *window);
    settle();
  }
  ui::OnboardingView* sheet() { return controller->view(); }
  void press() {
    sheet()->primaryButton()->click();
    settle();
  }
  void TearDown() override {
    controller.reset();
    UiTest::TearDown();
  }
  std::unique_ptr<ui::OnboardingController> controller;
};

TEST_F(OnboardingViewTest, OnlyItsOwnButtonsEndTheSheet) {
  launch();
  ASSERT_NE(sheet(), nullptr);
  EXPECT_TRUE(sheet()->isVisible());
  EXPECT_TRUE(sheet()->isModal());
  QTest::keyClick(sheet(), Qt::Key_Escape);
  sheet()->close();
  settle();
  ASSERT_NE(sheet(), nullptr);
  EXPECT_TRUE(sheet()->isVisible());
  EXPECT_TRUE(model->showOnboarding());
}

TEST_F(OnboardingViewTest, ThreeStepsEndSharingOnTheChosenSpeakers) {
  launch();
  router->callbackRan = true;
  sound->onPlay = [this] { router->inputPeak = 0.5f; };

  press();  // welcome → capture
  EXPECT_EQ(sheet()->primaryButton()->text(), u"Check Capture"_s);
  press();
  EXPECT_TRUE(sheet()->listening()->isVisible());
  EXPECT_FALSE(sheet()->primaryButton()->isEnabled());
  ASSERT_TRUE(clock.runUntil([&] { return !sheet()->flow().checking(); }, 10.0));
  settle();
  EXPECT_FALSE(sheet()->listening()->isVisible());
  EXPECT_EQ(sheet()->captureTitle()->text(), u"Sound is flowing"_s);

  press();  // capture → speakers
  EXPECT_EQ(sheet()->primaryButton()->text(), u"Done"_s);
  ui::ToggleSwitch* tv = named<ui::ToggleSwitch>(u"TV"_s, sheet());
  ASSERT_NE(tv, nullptr);
  EXPECT_EQ(named<ui::ToggleSwitch>(u"Den"_s, sheet()), nullptr);  // unsupported: no switch
  tv->click();
  settle();
  EXPECT_EQ(sheet()->primaryButton()->text(), u"Start Sharing"_s);

  press();
  settle();
  EXPECT_EQ(sheet(), nullptr);
  EXPECT_TRUE(model->settings().onboardingDone);
  ASSERT_EQ(router->starts.size(), 1u);
  EXPECT_EQ(router->starts[0].devices.size(), 1u);
  EXPECT_EQ(router->starts[0].devices[0].uid, "tv");
}

}  // namespace
}  // namespace choralink::test

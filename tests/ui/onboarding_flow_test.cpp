#include "app/ui/onboarding/onboarding_flow.h"

#include <gtest/gtest.h>

#include "tests/app/app_fixture.h"

namespace choralink::ui {
namespace {

using Step = OnboardingFlow::Step;

class OnboardingFlowTest : public test::AppModelTest {
 protected:
  void SetUp() override {
    build();
    publish({spk, tv});
    // The first snapshot of a fresh install switches the default output on;
    // these tests start with nothing chosen.
    model->setEnabled(spk, false);
    flow = std::make_unique<OnboardingFlow>(*model);
  }

  // The probe hears the test sound from now on (or not).
  void soundReachesCapture(bool reaches) {
    router->callbackRan = true;
    sound->onPlay = [this, reaches] { router->inputPeak = reaches ? 0.5f : 0.0f; };
  }

  // Runs the check the primary button starts, to its end.
  void checkToTheEnd() {
    flow->pressPrimary();
    ASSERT_TRUE(clock.runUntil([&] { return !flow->checking(); }, 10.0));
  }

  std::unique_ptr<OnboardingFlow> flow;
};

TEST_F(OnboardingFlowTest, FooterFollowsStepAndCheck) {
  std::vector<std::string> seen;
  auto record = [&](const char* state) {
    const OnboardingFlow::Button button = flow->primary();
    seen.push_back(std::string(state) + ": " + std::string(button.title) +
                   (button.enabled ? "" : " (disabled)") + (flow->showsBack() ? " +Back" : "") +
                   (flow->showsSkip() ? " +Skip" : ""));
  };
  soundReachesCapture(false);
  record("welcome");
  flow->pressPrimary();
  record("unchecked");
  flow->pressPrimary();
  record("checking");
  ASSERT_TRUE(clock.runUntil([&] { return !flow->checking(); }, 10.0));
  record("not heard");
  soundReachesCapture(true);
  checkToTheEnd();
  record("heard");
  flow->pressPrimary();
  record("none on");
  model->setEnabled(tv, true);
  record("one on");
  EXPECT_EQ(seen,
            (std::vector<std::string>{"welcome: Continue", "unchecked: Check Capture +Back",
                                      "checking: Check Capture (disabled) +Back",
                                      "not heard: Try Again +Back +Skip", "heard: Continue +Back",
                                      "none on: Done +Back", "one on: Start Sharing +Back"}));

  model->setEnabled(tv, false);
  flow->pressPrimary();  // "Done" ends onboarding without a broadcast
  EXPECT_TRUE(model->settings().onboardingDone);
  EXPECT_TRUE(router->starts.empty());
}

TEST_F(OnboardingFlowTest, SilentCheckIsRetriedOnceAfterTwoSecondsThenASuccessShows) {
  soundReachesCapture(false);
  flow->pressPrimary();
  flow->pressPrimary();  // ignored while checking
  ASSERT_TRUE(clock.runUntil([&] { return router->count("stopCaptureProbe") == 1; }, 10.0));
  const double firstEnded = clock.now();
  ASSERT_TRUE(clock.runUntil([&] { return !flow->checking(); }, 10.0));
  EXPECT_EQ(router->count("startCaptureProbe"), 2);
  ASSERT_EQ(sound->playedAt.size(), 2u);
  EXPECT_GE(sound->playedAt[1] - firstEnded, OnboardingFlow::kRetryDelay);
  EXPECT_EQ(flow->heard(), false);
  EXPECT_FALSE(flow->showsOpenSettings());  // no privacy page to open on Linux

  soundReachesCapture(true);
  checkToTheEnd();
  EXPECT_EQ(router->count("startCaptureProbe"), 3);  // a heard sound needs no retry
  EXPECT_EQ(flow->heard(), true);
  EXPECT_EQ(flow->captureSymbol(), "checkmark.circle.fill");
}

TEST_F(OnboardingFlowTest, BackAndForthKeepsTheCheckResultAndSkipJumpsToDevices) {
  soundReachesCapture(false);
  flow->pressPrimary();
  checkToTheEnd();
  flow->back();
  EXPECT_EQ(flow->step(), Step::welcome);
  flow->pressPrimary();
  EXPECT_EQ(flow->step(), Step::capture);
  EXPECT_EQ(flow->heard(), false);
  EXPECT_EQ(flow->primary().title, "Try Again");
  flow->skip();
  EXPECT_EQ(flow->step(), Step::pickDevices);
}

TEST_F(OnboardingFlowTest, CheckOutlivingTheFlowReportsToNobody) {
  soundReachesCapture(false);
  flow->pressPrimary();
  flow->pressPrimary();
  clock.advanceBy(3.0);  // first check over, retry pending
  flow.reset();
  clock.advanceBy(10.0);
  EXPECT_EQ(router->count("startCaptureProbe"), 1);
  EXPECT_EQ(router->outstanding(), 0u);
}

}  // namespace
}  // namespace choralink::ui

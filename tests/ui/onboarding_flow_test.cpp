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
    publish(
        {device("spk", "Speakers", Transport::builtIn, true), device("tv", "TV", Transport::hdmi)});
    // The first snapshot of a fresh install switches the default output on;
    // these tests start with nothing chosen.
    model->setEnabled(model->devices()[0], false);
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
  struct Row {
    const char* state;
    std::string_view primary;
    bool enabled, back, skip;
  };
  std::vector<Row> seen;
  auto record = [&](const char* state) {
    const auto button = flow->primary();
    seen.push_back({state, button.title, button.enabled, flow->showsBack(), flow->showsSkip()});
  };
  soundReachesCapture(false);
  record("welcome");
  flow->pressPrimary();
  record("capture, unchecked");
  flow->pressPrimary();
  record("capture, checking");
  ASSERT_TRUE(clock.runUntil([&] { return !flow->checking(); }, 10.0));
  record("capture, not heard");
  soundReachesCapture(true);
  checkToTheEnd();
  record("capture, heard");
  flow->pressPrimary();
  record("devices, none on");
  model->setEnabled(model->devices()[1], true);
  record("devices, one on");

  const std::vector<Row> expected{
      {"welcome", "Continue", true, false, false},
      {"capture, unchecked", "Check Capture", true, true, false},
      {"capture, checking", "Check Capture", false, true, false},
      {"capture, not heard", "Try Again", true, true, true},
      {"capture, heard", "Continue", true, true, false},
      {"devices, none on", "Done", true, true, false},
      {"devices, one on", "Start Sharing", true, true, false},
  };
  ASSERT_EQ(seen.size(), expected.size());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(expected[i].state);
    EXPECT_EQ(seen[i].primary, expected[i].primary);
    EXPECT_EQ(seen[i].enabled, expected[i].enabled);
    EXPECT_EQ(seen[i].back, expected[i].back);
    EXPECT_EQ(seen[i].skip, expected[i].skip);
  }
}

TEST_F(OnboardingFlowTest, SilentCheckIsRetriedOnceAfterTwoSecondsThenASuccessShows) {
  soundReachesCapture(false);
  flow->pressPrimary();
  flow->pressPrimary();  // ignored while checking
  ASSERT_TRUE(clock.runUntil([&] { return router->probeStops == 1; }, 10.0));
  const double firstEnded = clock.now();
  ASSERT_TRUE(clock.runUntil([&] { return !flow->checking(); }, 10.0));
  EXPECT_EQ(router->probeStarts, 2);
  ASSERT_EQ(sound->playedAt.size(), 2u);
  EXPECT_GE(sound->playedAt[1] - firstEnded, OnboardingFlow::kRetryDelay);
  EXPECT_EQ(flow->heard(), false);
  EXPECT_NE(flow->captureText().find("couldn't hear"), std::string_view::npos);
  EXPECT_FALSE(flow->showsOpenSettings());  // no privacy page to open on Linux

  soundReachesCapture(true);
  checkToTheEnd();
  EXPECT_EQ(router->probeStarts, 3);  // a heard sound needs no retry
  EXPECT_EQ(flow->heard(), true);
  EXPECT_EQ(flow->captureTitle(), "Sound is flowing");
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

TEST_F(OnboardingFlowTest, FinishingStartsSharingOnlyWithADeviceOn) {
  for (bool withDevice : {false, true}) {
    SCOPED_TRACE(withDevice ? "Start Sharing" : "Done");
    SetUp();
    model->setShowOnboarding(true);
    flow->pressPrimary();
    soundReachesCapture(true);
    checkToTheEnd();
    flow->pressPrimary();
    if (withDevice) model->setEnabled(model->devices()[1], true);
    flow->pressPrimary();
    clock.runDue();
    EXPECT_TRUE(model->settings().onboardingDone);
    EXPECT_FALSE(model->showOnboarding());
    EXPECT_EQ(router->starts.size(), withDevice ? 1u : 0u);
  }
}

TEST_F(OnboardingFlowTest, CheckOutlivingTheFlowReportsToNobody) {
  soundReachesCapture(false);
  flow->pressPrimary();
  flow->pressPrimary();
  clock.advanceBy(3.0);  // first check over, retry pending
  flow.reset();
  clock.advanceBy(10.0);
  EXPECT_EQ(router->probeStarts, 1);
  EXPECT_EQ(router->outstanding(), 0u);
}

}  // namespace
}  // namespace choralink::ui

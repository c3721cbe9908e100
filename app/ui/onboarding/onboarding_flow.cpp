#include "app/ui/onboarding/onboarding_flow.h"

#include "app/model/platform_texts.h"

namespace choralink::ui {

OnboardingFlow::OnboardingFlow(AppModel& model) : model_(model) {}

OnboardingFlow::~OnboardingFlow() {
  retry_.cancel();
}

OnboardingFlow::Button OnboardingFlow::primary() const {
  switch (step_) {
    case Step::welcome:
      return {"Continue"};
    case Step::capture:
      if (heard_ == true) return {"Continue", !checking_};
      if (heard_ == false) return {"Try Again", !checking_};
      return {PlatformTexts::shown(PlatformTexts::kOnboardingCaptureButton), !checking_};
    case Step::pickDevices:
      break;
  }
  return {model_.enabledDevices().empty() ? "Done" : "Start Sharing"};
}

std::string_view OnboardingFlow::captureSymbol() const {
  return heard_ == true ? "checkmark.circle.fill" : "waveform.badge.mic";
}

std::string_view OnboardingFlow::captureTitle() const {
  return heard_ == true ? "Sound is flowing"
                        : PlatformTexts::shown(PlatformTexts::kOnboardingCaptureTitle);
}

std::string_view OnboardingFlow::captureText() const {
  if (!heard_) return PlatformTexts::shown(PlatformTexts::kOnboardingCaptureIntro);
  return *heard_ ? PlatformTexts::shown(PlatformTexts::kOnboardingCaptureHeard)
                 : PlatformTexts::shown(PlatformTexts::kOnboardingCaptureNotHeard);
}

bool OnboardingFlow::showsOpenSettings() const {
  return heard_ == false && !AppModel::privacySettingsURL().empty();
}

void OnboardingFlow::pressPrimary() {
  switch (step_) {
    case Step::welcome:
      goTo(Step::capture);
      return;
    case Step::capture:
      if (checking_) return;
      if (heard_ == true) {
        goTo(Step::pickDevices);
      } else {
        runCheck();
      }
      return;
    case Step::pickDevices:
      // finishOnboarding closes the sheet, which may end this flow: nothing
      // of it is touched afterwards.
      model_.finishOnboarding(!model_.enabledDevices().empty());
      return;
  }
}

void OnboardingFlow::back() {
  if (step_ == Step::welcome) return;
  goTo(static_cast<Step>(static_cast<int>(step_) - 1));
}

void OnboardingFlow::skip() {
  if (showsSkip()) goTo(Step::pickDevices);
}

void OnboardingFlow::runCheck() {
  checking_ = true;
  changed();
  std::weak_ptr<int> alive = alive_;
  model_.verifyCapture([this, alive](bool heard) {
    if (!alive.expired()) checkEnded(heard, false);
  });
}

void OnboardingFlow::checkEnded(bool heard, bool isRetry) {
  if (!heard && !isRetry) {
    std::weak_ptr<int> alive = alive_;
    retry_ = model_.executor().postAfter(kRetryDelay, [this, alive] {
      if (alive.expired()) return;
      model_.verifyCapture([this, alive](bool again) {
        if (!alive.expired()) checkEnded(again, true);
      });
    });
    return;
  }
  heard_ = heard;
  checking_ = false;
  changed();
}

void OnboardingFlow::goTo(Step step) {
  step_ = step;
  changed();
}

void OnboardingFlow::changed() const {
  if (onChange_) onChange_();
}

}  // namespace choralink::ui

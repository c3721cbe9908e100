#include "app/ui/onboarding/onboarding_autopilot.h"

#include <QPushButton>

#include <string>

#include "app/ui/onboarding/onboarding_view.h"
#include "app/ui/widgets.h"

namespace choralink::ui {

OnboardingAutopilot::OnboardingAutopilot(OnboardingController& controller, Log& log,
                                         StepShown stepShown, QObject* parent)
    : QObject(parent), controller_(controller), log_(log), stepShown_(std::move(stepShown)) {
  connect(&timer_, &QTimer::timeout, this, &OnboardingAutopilot::look);
  timer_.start(kPaceMs);
  log_.info("Autopilot: going through onboarding");
}

void OnboardingAutopilot::look() {
  OnboardingView* view = controller_.view();
  if (view == nullptr) {
    stop(sheetSeen_ ? "onboarding finished" : "onboarding is not showing; nothing to do");
    return;
  }
  sheetSeen_ = true;
  QPushButton* primary = view->primaryButton();
  if (!primary->isEnabled()) return;

  const OnboardingFlow& flow = view->flow();
  std::string_view step = "welcome";
  if (flow.step() == OnboardingFlow::Step::capture) {
    if (flow.heard() == false) {
      stop("the capture check heard nothing; stopping here");
      return;
    }
    step = flow.heard() ? "heard" : "capture";
  } else if (flow.step() == OnboardingFlow::Step::pickDevices) {
    step = "speakers";
    // One switch per look, so the model has answered before the next.
    for (ToggleSwitch* toggle : view->findChildren<ToggleSwitch*>(QStringLiteral("deviceSwitch"))) {
      const QString uid = toggle->property("uid").toString();
      if (toggle->isChecked() || !toggle->isEnabled() || switchedOn_.contains(uid)) continue;
      switchedOn_.insert(uid);
      log_.info("Autopilot: switching on " + toggle->accessibleName().toStdString());
      toggle->click();
      return;
    }
  }
  if (stepShown_) stepShown_(step);
  log_.info("Autopilot: pressing \"" + primary->text().toStdString() + "\" (" + std::string(step) +
            ")");
  primary->click();
}

void OnboardingAutopilot::stop(std::string_view why) {
  timer_.stop();
  log_.info("Autopilot: " + std::string(why));
}

}  // namespace choralink::ui

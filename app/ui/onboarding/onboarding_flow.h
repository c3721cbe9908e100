// The onboarding sheet without its widgets: which of the three steps shows,
// whether a capture check runs, what the last check found, and what every
// footer button says and does. The view draws this and forwards its button
// presses; the rules stay testable on virtual time against a fake router.
//
// Lives on the model's thread. A check still running when the flow goes
// away finishes in the model and reports to nobody.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "app/model/app_model.h"

namespace choralink::ui {

class OnboardingFlow {
 public:
  enum class Step { welcome = 0, capture = 1, pickDevices = 2 };
  static constexpr int kStepCount = 3;
  // A check that heard nothing is repeated once after this long, in case the
  // sound server took a moment to route the test sound.
  static constexpr double kRetryDelay = 2.0;

  struct Button {
    std::string_view title;
    bool enabled = true;
  };

  explicit OnboardingFlow(AppModel& model);
  ~OnboardingFlow();
  OnboardingFlow(const OnboardingFlow&) = delete;
  OnboardingFlow& operator=(const OnboardingFlow&) = delete;

  // Called after every change of step, checking or heard.
  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

  Step step() const { return step_; }
  bool checking() const { return checking_; }
  // The last check's result; none before the first check ended.
  std::optional<bool> heard() const { return heard_; }

  // ---- The footer ----
  bool showsBack() const { return step_ != Step::welcome; }
  bool showsSkip() const { return step_ == Step::capture && heard_ == false; }
  Button primary() const;

  // ---- The capture step ----
  std::string_view captureSymbol() const;
  std::string_view captureTitle() const;
  std::string_view captureText() const;
  // Only where the system has a privacy page to open (not on Linux).
  bool showsOpenSettings() const;
  static constexpr std::string_view kListeningText = "Listening for a test sound…";

  // ---- The buttons ----
  void pressPrimary();
  void back();
  void skip();

 private:
  void runCheck();
  void checkEnded(bool heard, bool isRetry);
  void goTo(Step step);
  void changed() const;

  AppModel& model_;
  Step step_ = Step::welcome;
  bool checking_ = false;
  std::optional<bool> heard_;
  std::function<void()> onChange_;
  TaskHandle retry_;
  // Expires with the flow; a check's answer checks it first.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace choralink::ui

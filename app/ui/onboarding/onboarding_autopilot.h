// A development aid (CHORALINK_AUTOPILOT=onboarding): goes through the
// onboarding sheet as a user would, clicking its real buttons, each only
// once it is enabled (the capture check's own button stays disabled while it
// listens), so an offscreen run of the binary can show a first launch end to
// end. On the speakers step it switches every listed device on, then starts
// sharing. A check that heard nothing ends the run there, sheet still up.
// Every press is logged as "Autopilot: …". Main thread.
#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <functional>
#include <string_view>

#include "support/log.h"

namespace choralink::ui {

class OnboardingController;

class OnboardingAutopilot : public QObject {
  Q_OBJECT

 public:
  // Told the step on screen ("welcome", "capture", "heard", "speakers")
  // just before its button is pressed, e.g. to take snapshots of it.
  using StepShown = std::function<void(std::string_view step)>;
  // How often the sheet is looked at: about a user's pace.
  static constexpr int kPaceMs = 250;

  // `controller` and `log` must outlive this object.
  OnboardingAutopilot(OnboardingController& controller, Log& log, StepShown stepShown,
                      QObject* parent = nullptr);

  bool finished() const { return !timer_.isActive(); }

 private:
  void look();
  void stop(std::string_view why);

  OnboardingController& controller_;
  Log& log_;
  StepShown stepShown_;
  QTimer timer_;
  bool sheetSeen_ = false;
  // Each device is switched on once: one the model turns back off stays off
  // rather than being clicked for ever.
  QSet<QString> switchedOn_;
};

}  // namespace choralink::ui

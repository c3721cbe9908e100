// How Choralink starts and appears: launch at login, taskbar entry,
// automatic update checks (only with a working updater), appearance, master
// volume and the mirror-mode switch. Shown in the main window's Settings
// page and in the settings window; reads the model and the updater, each
// control makes one call.
#pragma once

#include <QWidget>
#include <array>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QLabel;
class QPushButton;

namespace choralink::ui {

class PercentSlider;
class ToggleSwitch;

class GeneralPane : public QWidget {
  Q_OBJECT

 public:
  GeneralPane(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  ToggleSwitch* launchAtLogin() const { return launch_; }
  ToggleSwitch* showInTaskbar() const { return taskbar_; }
  ToggleSwitch* automaticUpdates() const { return updates_; }
  // The automatic-updates row (hidden without an update controller).
  QWidget* automaticUpdatesRow() const { return updatesRow_; }
  QPushButton* appearanceSegment(AppearanceMode mode) const;
  PercentSlider* masterSlider() const { return master_; }
  ToggleSwitch* mirrorSwitch() const { return mirror_; }

 private:
  void refresh();

  AppModel& model_;
  ToggleSwitch* launch_;
  ToggleSwitch* taskbar_;
  ToggleSwitch* updates_;
  QWidget* updatesRow_;
  std::array<QPushButton*, 3> segments_{};
  PercentSlider* master_;
  QLabel* masterText_;
  ToggleSwitch* mirror_;
};

}  // namespace choralink::ui

// The main window: a sidebar of sections beside the page the model's section
// names (Devices, Sync, Settings, About), with the application's commands in
// a menu bar under the desktop's own title bar. It reads the model, calls one
// model operation per user action and keeps nothing else. Main thread; must
// not outlive the model.
#pragma once

#include <QMainWindow>

#include "app/model/app_model.h"
#include "app/model/calibration_model.h"
#include "app/ui/model_bridge.h"

class QStackedWidget;
class QAction;

namespace choralink::ui {

class Sidebar;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kDefaultWidth = 1040;
  static constexpr int kDefaultHeight = 660;

  MainWindow(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  // Where window-modal sheets (onboarding, feedback) attach.
  QWidget* sheetHost() { return this; }

  // The page shown now (one per section but "How to Use").
  QWidget* currentPage() const;
  QWidget* page(AppSection section) const;
  Sidebar* sidebar() const { return sidebar_; }
  // The menu command with this text, if any.
  QAction* action(const QString& text) const;
  // Calibration by microphone for the Sync page; null: there is none.
  void setCalibration(CalibrationModel* calibration);

 Q_SIGNALS:
  void settingsRequested();
  void quitRequested();
  void aboutRequested();

 protected:
  // The first time only: the default size, centred on the screen, whatever
  // the desktop remembered.
  void showEvent(QShowEvent* event) override;

 private:
  void buildMenus();
  void refresh();

  AppModel& model_;
  ModelBridge& bridge_;
  Sidebar* sidebar_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QAction* checkForUpdates_ = nullptr;
  bool placed_ = false;
};

}  // namespace choralink::ui

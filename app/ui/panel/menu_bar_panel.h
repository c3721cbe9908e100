// The tray panel: a frameless popup, 300 wide, that drops down from the tray
// icon. Header with the status line and the "Share audio" switch, one row per
// device (with a volume row under each device that plays), and the commands
// to open the main window, open the settings and quit. It closes like a menu:
// on Escape and when it loses focus. Reads the model, calls one model
// operation per user action. Main thread; must not outlive the model.
#pragma once

#include <QRect>
#include <QWidget>
#include <string>
#include <vector>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QLabel;
class QVBoxLayout;

namespace choralink::ui {

class MenuDeviceRow;
class ToggleSwitch;

class MenuBarPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 300;

  MenuBarPanel(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);
  ~MenuBarPanel() override;

  // Opens the panel next to the tray icon at `iconGeometry` (global
  // coordinates; empty when the desktop does not tell), else near the
  // pointer, and gives it the focus.
  void showAt(QRect iconGeometry);

  ToggleSwitch* shareSwitch() const { return shareSwitch_; }
  QLabel* statusLabel() const { return status_; }

 Q_SIGNALS:
  void settingsRequested();
  // "Quit Choralink": the frame runs the application's quitting path.
  void quitRequested();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void refresh();
  void rebuildRows();
  void addCommand(const QString& title, const QKeySequence& key, std::function<void()> action);

  AppModel& model_;
  QLabel* status_ = nullptr;
  ToggleSwitch* shareSwitch_ = nullptr;
  QVBoxLayout* rowsLayout_ = nullptr;
  QVBoxLayout* commandsLayout_ = nullptr;
  std::vector<MenuDeviceRow*> rows_;
  std::vector<std::string> rowUIDs_;
};

}  // namespace choralink::ui

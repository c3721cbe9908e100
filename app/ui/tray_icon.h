// The tray item (StatusNotifier where the desktop has it): the on/off
// artwork following whether a broadcast runs, and a context menu. It only
// forwards: left click asks for the panel, the menu opens the main window,
// the settings or quits through signals the application's frame connects.
// Main thread; must not outlive the model.
#pragma once

#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>
#include <memory>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QMenu;
class QAction;

namespace choralink::ui {

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  TrayIcon(AppModel& model, ModelBridge& bridge, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Whether the desktop shows tray items at all.
  bool available() const;
  void show();
  void hide();

  // The menu, for the frame and for tests; its actions are "Open Choralink…",
  // "Settings…" and "Quit Choralink".
  QMenu* contextMenu() const { return menu_.get(); }
  QSystemTrayIcon& systemTrayIcon() { return tray_; }
  // Whether the "on" artwork is shown.
  bool showsOn() const { return on_; }

 Q_SIGNALS:
  void panelRequested(QRect iconGeometry);
  void settingsRequested();
  void quitRequested();

 private:
  void refresh();

  AppModel& model_;
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon tray_;
  bool on_ = false;
  bool refreshed_ = false;
};

}  // namespace choralink::ui

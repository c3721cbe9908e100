// The settings window: one window, 480 wide, with the tabs "General",
// "Sync" and "About". A second request raises the window that is already
// there. Main thread; must not outlive the model.
#pragma once

#include <QWidget>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QTabWidget;

namespace choralink::ui {

class GeneralPane;
class SyncPane;
class AboutPane;

// The three tabs.
class SettingsView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 480;

  SettingsView(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  QTabWidget* tabs() const { return tabs_; }
  GeneralPane* general() const { return general_; }
  SyncPane* sync() const { return sync_; }
  AboutPane* about() const { return about_; }

 private:
  QTabWidget* tabs_ = nullptr;
  GeneralPane* general_ = nullptr;
  SyncPane* sync_ = nullptr;
  AboutPane* about_ = nullptr;
};

class SettingsWindow : public QWidget {
  Q_OBJECT

 public:
  SettingsWindow(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  // Shows the window, or raises it when it shows already.
  void present();

  SettingsView* view() const { return view_; }

 private:
  SettingsView* view_ = nullptr;
};

}  // namespace choralink::ui

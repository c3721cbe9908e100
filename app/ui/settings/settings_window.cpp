#include "app/ui/settings/settings_window.h"

#include <QTabWidget>
#include <QVBoxLayout>

#include "app/ui/about_pane.h"
#include "app/ui/general_pane.h"
#include "app/ui/icons.h"
#include "app/ui/settings/sync_pane.h"

namespace choralink::ui {

SettingsView::SettingsView(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent) {
  setFixedWidth(kWidth);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  tabs_ = new QTabWidget(this);
  general_ = new GeneralPane(model, bridge, tabs_);
  sync_ = new SyncPane(model, bridge, tabs_);
  about_ = new AboutPane(model, bridge, tabs_);
  tabs_->addTab(general_, icon("gearshape"), QStringLiteral("General"));
  tabs_->addTab(sync_, icon("metronome"), QStringLiteral("Sync"));
  tabs_->addTab(about_, icon("info.circle"), QStringLiteral("About"));
  column->addWidget(tabs_);
}

SettingsWindow::SettingsWindow(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("settings"));
  setWindowTitle(QStringLiteral("Choralink Settings"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  view_ = new SettingsView(model, bridge, this);
  column->addWidget(view_);
  // 480 wide, as tall as the content.
  column->setSizeConstraint(QLayout::SetFixedSize);
}

void SettingsWindow::present() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

}  // namespace choralink::ui

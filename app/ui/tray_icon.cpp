#include "app/ui/tray_icon.h"

#include <QMenu>

#include "app/ui/icons.h"
#include "app/ui/palette.h"

namespace choralink::ui {

TrayIcon::TrayIcon(AppModel& model, ModelBridge& bridge, QObject* parent)
    : QObject(parent), model_(model), menu_(std::make_unique<QMenu>()) {
  QAction* open = menu_->addAction(QStringLiteral("Open Choralink…"));
  connect(open, &QAction::triggered, this, [this] {
    if (model_.openMainWindow()) model_.openMainWindow()();
  });
  QAction* settings = menu_->addAction(QStringLiteral("Settings…"));
  connect(settings, &QAction::triggered, this, &TrayIcon::settingsRequested);
  menu_->addSeparator();
  QAction* quit = menu_->addAction(QStringLiteral("Quit Choralink"));
  connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);
  tray_.setContextMenu(menu_.get());

  connect(&tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) Q_EMIT panelRequested(tray_.geometry());
          });
  connect(&bridge, &ModelBridge::changed, this, &TrayIcon::refresh);
  refresh();
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::available() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::show() {
  tray_.show();
}

void TrayIcon::hide() {
  tray_.hide();
}

void TrayIcon::refresh() {
  const bool on = model_.isSharing();
  if (refreshed_ && on == on_) return;
  refreshed_ = true;
  on_ = on;
  // The desktop's panel usually follows its colour scheme.
  tray_.setIcon(trayIcon(on, currentScheme() == Scheme::dark));
  tray_.setToolTip(on ? QStringLiteral("Choralink, broadcasting")
                      : QStringLiteral("Choralink, off"));
}

}  // namespace choralink::ui

#include "app/ui/palette.h"

#include <QApplication>
#include <QDialog>
#include <QMainWindow>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>
#include <algorithm>

namespace choralink::ui {
namespace {

bool isDark(const QPalette& palette) {
  return palette.color(QPalette::Window).lightness() < 128;
}

QColor pick(Scheme scheme, const char* light, const char* dark) {
  return QColor(QLatin1String(scheme == Scheme::dark ? dark : light));
}

}  // namespace

Scheme currentScheme() {
  return isDark(QApplication::palette()) ? Scheme::dark : Scheme::light;
}

Scheme schemeOf(const QWidget& widget) {
  return isDark(widget.palette()) ? Scheme::dark : Scheme::light;
}

QColor brandAccent(Scheme scheme) {
  return pick(scheme, "#0b7f8c", "#39c6c8");
}
QColor brandTeal(Scheme scheme) {
  return pick(scheme, "#13a3a0", "#22b8b0");
}
QColor brandMint(Scheme scheme) {
  return pick(scheme, "#3ccf9a", "#52e0a8");
}
QColor brandDeep(Scheme scheme) {
  return pick(scheme, "#1c3f77", "#2a5597");
}
QColor hairline(double opacity, Scheme scheme) {
  QColor color = scheme == Scheme::dark ? QColor(255, 255, 255) : QColor(0, 0, 0);
  color.setAlphaF(static_cast<float>(std::clamp(opacity, 0.0, 1.0)));
  return color;
}
QColor cardBackground(Scheme scheme) {
  return pick(scheme, "#ffffff", "#2a2d33");
}
QColor pageBackground(Scheme scheme) {
  return pick(scheme, "#f3f4f6", "#1d1f23");
}
QColor warningOrange(Scheme scheme) {
  return pick(scheme, "#d9730d", "#f59a3c");
}
QColor secondaryText(Scheme scheme) {
  return pick(scheme, "#6b7078", "#9aa0a8");
}
QColor destructiveRed() {
  return QColor::fromRgbF(0.86f, 0.27f, 0.27f);
}

QPalette brandPalette(Scheme scheme) {
  const bool dark = scheme == Scheme::dark;
  const QColor text = dark ? QColor(0xe8, 0xea, 0xed) : QColor(0x1b, 0x1e, 0x23);
  QPalette palette;
  palette.setColor(QPalette::Window, pageBackground(scheme));
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, cardBackground(scheme));
  palette.setColor(QPalette::AlternateBase,
                   dark ? QColor(0x33, 0x36, 0x3d) : QColor(0xf7, 0xf8, 0xfa));
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, dark ? QColor(0x33, 0x36, 0x3d) : QColor(0xec, 0xee, 0xf1));
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::ToolTipBase, cardBackground(scheme));
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::PlaceholderText, secondaryText(scheme));
  palette.setColor(QPalette::Highlight, brandAccent(scheme));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, brandAccent(scheme));
  palette.setColor(QPalette::Light, dark ? QColor(0x45, 0x49, 0x51) : QColor(Qt::white));
  palette.setColor(QPalette::Mid, dark ? QColor(0x3a, 0x3d, 0x44) : QColor(0xc8, 0xcc, 0xd2));
  palette.setColor(QPalette::Dark, dark ? QColor(0x15, 0x16, 0x19) : QColor(0xa0, 0xa5, 0xad));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(QPalette::Disabled, role, secondaryText(scheme));
  }
  return palette;
}

QtAppPresence::QtAppPresence() : systemPalette_(QApplication::palette()) {}

void QtAppPresence::setAppearance(AppearanceMode mode) {
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
    QApplication::setStyle(fusion);
  }
  switch (mode) {
    case AppearanceMode::light:
      QApplication::setPalette(brandPalette(Scheme::light));
      break;
    case AppearanceMode::dark:
      QApplication::setPalette(brandPalette(Scheme::dark));
      break;
    case AppearanceMode::system:
      QApplication::setPalette(brandPalette(isDark(systemPalette_) ? Scheme::dark : Scheme::light));
      break;
  }
}

void QtAppPresence::setShowInTaskbar(bool show) {
  showInTaskbar_ = show;
  for (QWidget* window : QApplication::topLevelWidgets())
    applyTaskbarChoice(*window);
}

void QtAppPresence::applyTaskbarChoice(QWidget& window) const {
  // Only the application's own windows; menus and the tray's popups are
  // never in the taskbar anyway.
  if (qobject_cast<QMainWindow*>(&window) == nullptr && qobject_cast<QDialog*>(&window) == nullptr)
    return;
  if (window.parentWidget() != nullptr) return;
  const bool wantTool = !showInTaskbar_;
  if (window.windowFlags().testFlag(Qt::Tool) == wantTool) return;
  // Changing the flags hides a window; bring it back as it was.
  const bool visible = window.isVisible();
  window.setWindowFlag(Qt::Tool, wantTool);
  if (visible) window.show();
}

}  // namespace choralink::ui

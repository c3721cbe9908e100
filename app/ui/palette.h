// The brand's colours in light and dark, and the application's appearance
// (Fusion style with a light, dark or the desktop's own palette) and taskbar
// presence. Main thread only.
#pragma once

#include <QColor>
#include <QPalette>

#include "app/model/app_presence.h"

class QWidget;

namespace choralink::ui {

enum class Scheme { light, dark };

// The scheme the application draws in right now (from its palette).
Scheme currentScheme();
// The scheme a widget draws in (from its own palette).
Scheme schemeOf(const QWidget& widget);

QColor brandAccent(Scheme scheme = currentScheme());
QColor brandTeal(Scheme scheme = currentScheme());
QColor brandMint(Scheme scheme = currentScheme());
QColor brandDeep(Scheme scheme = currentScheme());
// Thin lines and quiet fills: the text colour at `opacity`.
QColor hairline(double opacity, Scheme scheme = currentScheme());
QColor cardBackground(Scheme scheme = currentScheme());
QColor pageBackground(Scheme scheme = currentScheme());
// Warnings (status line, meters' top segments).
QColor warningOrange(Scheme scheme = currentScheme());
// Texts of lesser weight.
QColor secondaryText(Scheme scheme = currentScheme());
// The destructive main button: sRGB 0.86, 0.27, 0.27.
QColor destructiveRed();

// The whole palette of a forced light or dark appearance.
QPalette brandPalette(Scheme scheme);

// AppPresence on Qt: appearance with the Fusion style, and whether the
// application's windows keep a taskbar entry.
class QtAppPresence final : public AppPresence {
 public:
  // Remembers the desktop's palette for the "system" appearance.
  QtAppPresence();

  void setShowInTaskbar(bool show) override;
  void setAppearance(AppearanceMode mode) override;

  bool showInTaskbar() const { return showInTaskbar_; }
  // Applies the taskbar choice to one top-level window (for windows made
  // after the choice).
  void applyTaskbarChoice(QWidget& window) const;

 private:
  QPalette systemPalette_;
  bool showInTaskbar_ = true;
};

}  // namespace choralink::ui

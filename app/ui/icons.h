// The one table from the symbol names the views use ("hifispeaker.2",
// "gearshape", DeviceKind's symbols, …) to icons: a name of the desktop's
// icon theme where one fits, else our own SVG artwork compiled into the
// binary. Main thread only (QIcon needs the application).
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <span>
#include <string_view>

namespace choralink::ui {

struct SymbolIcon {
  std::string_view symbol;
  // Icon-theme name tried first; empty where no theme name fits.
  std::string_view themeName;
};

// Every symbol the application shows. Each has a bundled SVG
// ":/icons/<symbol>.svg".
std::span<const SymbolIcon> symbolTable();

// The icon for `symbol`: the theme's when it has one, else ours; for
// "MenuBarOn" and "MenuBarOff" the tray artwork of the current scheme.
// Unknown symbols give a null icon.
QIcon icon(std::string_view symbol);

// Our own artwork for `symbol` in one colour, `size` pixels square (at the
// device pixel ratio given), for icons drawn in the brand colours.
QPixmap tintedSymbol(std::string_view symbol, int size, const QColor& color, qreal pixelRatio = 1);

// The tray artwork, "MenuBarOn" or "MenuBarOff", for a light or dark panel.
QIcon trayIcon(bool on, bool darkPanel);

// The logo's artwork path (":/icons/LogoMark.svg").
QString logoResource();

}  // namespace choralink::ui

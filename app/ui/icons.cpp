#include "app/ui/icons.h"

#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <algorithm>
#include <array>

#include "app/ui/palette.h"

namespace choralink::ui {
namespace {

constexpr std::array kSymbols{
    // Device kinds.
    SymbolIcon{"laptopcomputer", "computer-laptop"},
    SymbolIcon{"desktopcomputer", "computer"},
    SymbolIcon{"headphones", "audio-headphones"},
    SymbolIcon{"airpods", ""},
    SymbolIcon{"airpodspro", ""},
    SymbolIcon{"airpodsmax", ""},
    SymbolIcon{"hifispeaker", "audio-speakers"},
    SymbolIcon{"tv", ""},
    SymbolIcon{"display", "video-display"},
    SymbolIcon{"speaker.wave.2", "audio-card"},
    SymbolIcon{"airplayaudio", ""},
    // Sidebar and pages.
    SymbolIcon{"hifispeaker.2", ""},
    SymbolIcon{"hifispeaker.2.fill", ""},
    SymbolIcon{"hifispeaker.and.homepod", ""},
    SymbolIcon{"metronome", ""},
    SymbolIcon{"gearshape", ""},
    SymbolIcon{"book", ""},
    SymbolIcon{"arrow.up.right", ""},
    SymbolIcon{"info.circle", ""},
    SymbolIcon{"dot.radiowaves.left.and.right", ""},
    SymbolIcon{"circle.lefthalf.filled", ""},
    SymbolIcon{"sun.max", ""},
    SymbolIcon{"moon", ""},
    SymbolIcon{"arrow.triangle.2.circlepath", ""},
    SymbolIcon{"checkmark.circle.fill", ""},
    SymbolIcon{"waveform", ""},
    SymbolIcon{"wave.3.right", ""},
    SymbolIcon{"waveform.badge.mic", ""},
    // Controls.
    SymbolIcon{"speaker.fill", ""},
    SymbolIcon{"speaker.wave.1.fill", ""},
    SymbolIcon{"speaker.slash", ""},
    SymbolIcon{"speaker.slash.fill", ""},
    SymbolIcon{"stop.fill", "media-playback-stop"},
    // Banners.
    SymbolIcon{"lock.shield", ""},
    SymbolIcon{"exclamationmark.triangle", ""},
    SymbolIcon{"exclamationmark.triangle.fill", ""},
};

QString resourceFor(std::string_view symbol) {
  return QStringLiteral(":/icons/") + QString::fromUtf8(symbol.data(), qsizetype(symbol.size())) +
         QStringLiteral(".svg");
}

const SymbolIcon* find(std::string_view symbol) {
  for (const SymbolIcon& entry : kSymbols) {
    if (entry.symbol == symbol) return &entry;
  }
  return nullptr;
}

}  // namespace

std::span<const SymbolIcon> symbolTable() {
  return kSymbols;
}

QIcon icon(std::string_view symbol) {
  if (symbol == "MenuBarOn" || symbol == "MenuBarOff") {
    return trayIcon(symbol == "MenuBarOn", currentScheme() == Scheme::dark);
  }
  const SymbolIcon* entry = find(symbol);
  if (entry == nullptr) return {};
  QIcon bundled(resourceFor(symbol));
  if (entry->themeName.empty()) return bundled;
  return QIcon::fromTheme(
      QString::fromUtf8(entry->themeName.data(), qsizetype(entry->themeName.size())), bundled);
}

QPixmap tintedSymbol(std::string_view symbol, int size, const QColor& color, qreal pixelRatio) {
  const int pixels = qRound(size * pixelRatio);
  QImage image(pixels, pixels, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QSvgRenderer renderer(resourceFor(symbol));
  if (renderer.isValid()) {
    QPainter painter(&image);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
  }
  // A template image: the artwork's grey gives the shape, its white details
  // (the check inside a filled circle) become holes, the colour is ours.
  for (int y = 0; y < pixels; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < pixels; ++x) {
      const QRgb pixel = line[x];
      const double coverage = std::clamp((255.0 - qGray(pixel)) / 127.0, 0.0, 1.0);
      const int alpha = qRound(qAlpha(pixel) * coverage * color.alphaF());
      line[x] = qRgba(color.red(), color.green(), color.blue(), alpha);
    }
  }
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setDevicePixelRatio(pixelRatio);
  return pixmap;
}

QIcon trayIcon(bool on, bool darkPanel) {
  return QIcon(QStringLiteral(":/icons/") +
               (on ? QStringLiteral("MenuBarOn") : QStringLiteral("MenuBarOff")) +
               (darkPanel ? QStringLiteral("-dark.svg") : QStringLiteral("-light.svg")));
}

QString logoResource() {
  return QStringLiteral(":/icons/LogoMark.svg");
}

}  // namespace choralink::ui

#include "app/ui/device_icon.h"

#include <QPainter>
#include <QPainterPath>

#include "app/ui/accessibility.h"
#include "app/ui/icons.h"
#include "app/ui/palette.h"

namespace choralink::ui {

DeviceIcon::DeviceIcon(QWidget* parent) : QWidget(parent) {
  installAccessibleInterfaces();
  setFixedSize(34, 34);
  setAccessibleName(QString());
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void DeviceIcon::setDevice(DeviceKind kind, bool active) {
  if (kind == kind_ && active == active_) return;
  kind_ = kind;
  active_ = active;
  update();
}

void DeviceIcon::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor fill = active_ ? brandTeal(scheme) : hairline(0.07, scheme);
  if (active_) fill.setAlphaF(0.16f);
  QPainterPath square;
  square.addRoundedRect(QRectF(rect()), 9, 9);
  painter.fillPath(square, fill);
  const QColor glyph = active_ ? brandAccent(scheme) : secondaryText(scheme);
  const int size = 18;
  const QPixmap pixmap = tintedSymbol(symbol(kind_), size, glyph, devicePixelRatioF());
  painter.drawPixmap((width() - size) / 2, (height() - size) / 2, pixmap);
}

}  // namespace choralink::ui

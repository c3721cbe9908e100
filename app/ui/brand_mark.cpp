#include "app/ui/brand_mark.h"

#include <QPainter>
#include <QSvgRenderer>
#include <memory>

#include "app/ui/icons.h"

namespace choralink::ui {
namespace {

// Shared by every mark for the life of the process.
QSvgRenderer* logo() {
  static std::unique_ptr<QSvgRenderer> renderer = [] {
    auto loaded = std::make_unique<QSvgRenderer>(logoResource());
    return loaded->isValid() ? std::move(loaded) : nullptr;
  }();
  return renderer.get();
}

}  // namespace

QLinearGradient brandGradient(const QRectF& rect, Scheme scheme) {
  QLinearGradient gradient(rect.bottomLeft(), rect.topRight());
  gradient.setColorAt(0, brandDeep(scheme));
  gradient.setColorAt(0.55, brandTeal(scheme));
  gradient.setColorAt(1, brandMint(scheme));
  return gradient;
}

BrandMark::BrandMark(int size, QWidget* parent) : QWidget(parent), size_(size) {
  setFixedSize(size, size);
  setAccessibleName(QStringLiteral("Choralink"));
}

bool BrandMark::logoLoaded() {
  return logo() != nullptr;
}

void BrandMark::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF square(0, 0, size_, size_);
  if (QSvgRenderer* renderer = logo()) {
    QSizeF art = renderer->defaultSize();
    art.scale(square.size(), Qt::KeepAspectRatio);
    renderer->render(&painter,
                     QRectF(QPointF((size_ - art.width()) / 2, (size_ - art.height()) / 2), art));
    return;
  }
  // The waveform symbol as a mask over the gradient.
  const QPixmap glyph = tintedSymbol("waveform", size_, Qt::black, devicePixelRatioF());
  QImage filled(glyph.size(), QImage::Format_ARGB32_Premultiplied);
  filled.setDevicePixelRatio(devicePixelRatioF());
  filled.fill(Qt::transparent);
  QPainter fill(&filled);
  fill.fillRect(square, brandGradient(square, schemeOf(*this)));
  fill.setCompositionMode(QPainter::CompositionMode_DestinationIn);
  fill.drawPixmap(0, 0, glyph);
  fill.end();
  painter.drawImage(0, 0, filled);
}

}  // namespace choralink::ui

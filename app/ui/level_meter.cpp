#include "app/ui/level_meter.h"

#include <QPainter>

#include "app/ui/accessibility.h"
#include "app/ui/palette.h"
#include "app/ui/view_rules.h"

namespace choralink::ui {

LevelMeter::LevelMeter(double segmentWidth, QWidget* parent)
    : QWidget(parent), segmentWidth_(segmentWidth) {
  installAccessibleInterfaces();
  setFixedHeight(5);
  setMinimumWidth(40);
  setAccessibleName(QString());
}

void LevelMeter::setLevel(float level, bool dimmed) {
  // Repaint only when a segment changes, not for every meter tick.
  const int before = litCount();
  const bool dimmedBefore = dimmed_;
  level_ = level;
  dimmed_ = dimmed;
  if (litCount() != before || dimmed != dimmedBefore) update();
}

int LevelMeter::segmentCount() const {
  return meterSegmentCount(width(), segmentWidth_);
}

int LevelMeter::litCount() const {
  return meterLitSegments(level_, segmentCount());
}

void LevelMeter::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  const int count = segmentCount();
  const int lit = meterLitSegments(level_, count);
  const double segment = meterSegmentWidth(width(), count);
  for (int i = 0; i < count; ++i) {
    QColor color;
    switch (meterSegmentTone(i, count, lit, dimmed_)) {
      case SegmentTone::teal:
        color = brandTeal(scheme);
        break;
      case SegmentTone::mint:
        color = brandMint(scheme);
        break;
      case SegmentTone::orange:
        color = warningOrange(scheme);
        break;
      case SegmentTone::unlit:
        color = hairline(0.08, scheme);
        break;
      case SegmentTone::unlitDimmed:
        color = hairline(0.04, scheme);
        break;
    }
    painter.setBrush(color);
    const QRectF box(i * (segment + kMeterGap), 0, segment, height());
    painter.drawRoundedRect(box, 2, 2);
  }
}

}  // namespace choralink::ui

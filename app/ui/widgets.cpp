#include "app/ui/widgets.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include "app/ui/brand_mark.h"
#include "app/ui/icons.h"
#include "app/ui/palette.h"

namespace choralink::ui {

QLabel* secondaryLabel(const QString& text, QWidget* parent, qreal pointDelta) {
  auto* label = new QLabel(text, parent);
  label->setForegroundRole(QPalette::PlaceholderText);
  if (pointDelta != 0) {
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() + pointDelta);
    label->setFont(font);
  }
  return label;
}

QLabel* titleLabel(const QString& text, qreal pointDelta, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() + pointDelta);
  font.setWeight(QFont::DemiBold);
  label->setFont(font);
  return label;
}

QLabel* sectionCaption(const QString& text, QWidget* parent) {
  QLabel* label = secondaryLabel(text, parent, -1);
  QFont font = label->font();
  font.setWeight(QFont::DemiBold);
  font.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
  label->setFont(font);
  return label;
}

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setForegroundRole(QPalette::Link);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    Q_EMIT clicked();
  }
  QLabel::mouseReleaseEvent(event);
}

void LinkLabel::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
      event->key() == Qt::Key_Space) {
    Q_EMIT clicked();
    return;
  }
  QLabel::keyPressEvent(event);
}

HairlineRule::HairlineRule(QWidget* parent) : QWidget(parent) {
  setFixedHeight(1);
}

void HairlineRule::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), hairline(0.08, schemeOf(*this)));
}

SymbolView::SymbolView(std::string_view symbol, int size, QWidget* parent)
    : QWidget(parent), symbol_(symbol), size_(size) {
  setFixedSize(size, size);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void SymbolView::setSymbol(std::string_view symbol, const QColor& color) {
  if (symbol_ == symbol && color_ == color) return;
  symbol_ = std::string(symbol);
  color_ = color;
  update();
}

void SymbolView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor color = color_.isValid() ? color_ : palette().color(QPalette::PlaceholderText);
  painter.drawPixmap(0, 0, tintedSymbol(symbol_, size_, color, devicePixelRatioF()));
}

Card::Card(QWidget* parent) : QFrame(parent) {
  setAttribute(Qt::WA_StyledBackground, false);
}

void Card::setSelected(bool selected) {
  if (selected_ == selected) return;
  selected_ = selected;
  update();
}

void Card::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
  painter.fillPath(shape, cardBackground(scheme));
  painter.setPen(selected_ ? QPen(brandAccent(scheme), 2) : QPen(hairline(0.1, scheme), 1));
  painter.drawPath(shape);
}

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setFixedSize(40, 22);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (!isEnabled()) painter.setOpacity(0.45);
  const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
  painter.setPen(Qt::NoPen);
  painter.setBrush(isChecked() ? brandTeal(scheme) : hairline(0.18, scheme));
  painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
  const double knob = track.height() - 4;
  const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
  painter.setBrush(Qt::white);
  painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
  if (hasFocus()) {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(brandAccent(scheme), 1.5));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 11, 11);
  }
}

Chip::Chip(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(9, 3, 10, 3);
  row->setSpacing(5);
  icon_ = new SymbolView({}, 13, this);
  text_ = new QLabel(this);
  QFont font = text_->font();
  font.setWeight(QFont::DemiBold);
  font.setPointSizeF(font.pointSizeF() - 1);
  text_->setFont(font);
  row->addWidget(icon_);
  row->addWidget(text_);
}

void Chip::setContent(const QString& text, std::string_view symbol, const QColor& color) {
  if (text == text_->text() && color == color_ && symbol == icon_->symbol()) return;
  color_ = color;
  text_->setText(text);
  QPalette palette = text_->palette();
  palette.setColor(QPalette::WindowText, color);
  text_->setPalette(palette);
  icon_->setVisible(!symbol.empty());
  icon_->setSymbol(symbol, color);
  update();
}

QString Chip::text() const {
  return text_->text();
}

void Chip::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor fill = color_;
  fill.setAlphaF(0.13f);
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
}

BrandButton::BrandButton(QWidget* parent) : QPushButton(parent) {
  setCursor(Qt::PointingHandCursor);
  QFont font = this->font();
  font.setWeight(QFont::DemiBold);
  setFont(font);
  setIconSize({14, 14});
  updateShadow();
}

void BrandButton::setDestructive(bool destructive) {
  if (destructive_ == destructive) return;
  destructive_ = destructive;
  updateShadow();
  update();
}

QSize BrandButton::sizeHint() const {
  const int textWidth = fontMetrics().horizontalAdvance(text());
  const int iconWidth = icon().isNull() ? 0 : iconSize().width() + 8;
  return {textWidth + iconWidth + 44, 38};
}

void BrandButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange) {
    updateShadow();
  }
  QPushButton::changeEvent(event);
}

void BrandButton::updateShadow() {
  if (!isEnabled()) {
    setGraphicsEffect(nullptr);
    return;
  }
  auto* shadow = new QGraphicsDropShadowEffect(this);
  shadow->setBlurRadius(12);
  shadow->setOffset(0, 2);
  QColor color = destructive_ ? destructiveRed() : brandTeal(schemeOf(*this));
  color.setAlphaF(0.25f);
  shadow->setColor(color);
  setGraphicsEffect(shadow);
}

void BrandButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setOpacity(!isEnabled() ? 0.45 : isDown() ? 0.85 : 1.0);
  const QRectF shape = QRectF(rect()).adjusted(1, 1, -1, -1);
  painter.setPen(Qt::NoPen);
  if (destructive_) {
    painter.setBrush(destructiveRed());
  } else {
    painter.setBrush(brandGradient(shape, schemeOf(*this)));
  }
  painter.drawRoundedRect(shape, 10, 10);
  if (hasFocus()) {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 140), 1.5));
    painter.drawRoundedRect(shape.adjusted(2, 2, -2, -2), 8, 8);
  }
  // Icon and text centred together, in white.
  const QFontMetrics metrics(font());
  const int textWidth = metrics.horizontalAdvance(text());
  const int iconWidth = icon().isNull() ? 0 : iconSize().width() + 8;
  int x = (width() - textWidth - iconWidth) / 2;
  if (!icon().isNull()) {
    const QPixmap glyph = icon().pixmap(iconSize(), devicePixelRatioF());
    QPixmap white(glyph.size());
    white.setDevicePixelRatio(glyph.devicePixelRatio());
    white.fill(Qt::transparent);
    QPainter tint(&white);
    tint.drawPixmap(0, 0, glyph);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(white.rect(), Qt::white);
    tint.end();
    painter.drawPixmap(x, (height() - iconSize().height()) / 2, white);
    x += iconWidth;
  }
  painter.setPen(Qt::white);
  painter.setFont(font());
  painter.drawText(QRect(x, 0, textWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

PageHeader::PageHeader(const QString& title, const QString& subtitle, QWidget* parent)
    : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addWidget(titleLabel(title, 8, this));
  texts->addWidget(secondaryLabel(subtitle, this));
  row->addLayout(texts);
  row->addStretch(1);
  trailing_ = new QHBoxLayout;
  trailing_->setSpacing(10);
  row->addLayout(trailing_);
}

PageScaffold::PageScaffold(const QString& title, const QString& subtitle, QWidget* content,
                           QWidget* parent)
    : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 24, 28, 20);
  column->setSpacing(18);
  column->addWidget(new PageHeader(title, subtitle, this));
  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setWidget(content);
  scroll->viewport()->setAutoFillBackground(false);
  content->setAutoFillBackground(false);
  column->addWidget(scroll, 1);
}

Banner::Banner(QWidget* parent) : Card(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(14, 12, 14, 12);
  row->setSpacing(12);
  icon_ = new SymbolView({}, 20, this);
  row->addWidget(icon_, 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(3);
  title_ = titleLabel({}, 0, this);
  message_ = secondaryLabel({}, this);
  message_->setWordWrap(true);
  texts->addWidget(title_);
  texts->addWidget(message_);
  row->addLayout(texts, 1);
  action_ = new QPushButton(this);
  connect(action_, &QPushButton::clicked, this, &Banner::actionTriggered);
  row->addWidget(action_, 0, Qt::AlignVCenter);
}

void Banner::setContent(std::string_view symbol, const QString& title, const QString& message,
                        const QString& actionTitle) {
  icon_->setSymbol(symbol, warningOrange(schemeOf(*this)));
  title_->setText(title);
  message_->setText(message);
  action_->setText(actionTitle);
  action_->setVisible(!actionTitle.isEmpty());
}

}  // namespace choralink::ui

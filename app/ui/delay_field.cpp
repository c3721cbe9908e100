#include "app/ui/delay_field.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/ui/view_rules.h"
#include "app/ui/widgets.h"

namespace choralink::ui {

DelayField::DelayField(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  edit_ = new QLineEdit(QStringLiteral("0"), this);
  QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  digits.setPointSizeF(font().pointSizeF());
  edit_->setFont(digits);
  edit_->setAlignment(Qt::AlignRight);
  edit_->setFixedWidth(48);
  edit_->installEventFilter(this);
  connect(edit_, &QLineEdit::returnPressed, this, &DelayField::commit);
  row->addWidget(edit_);
  row->addWidget(secondaryLabel(QStringLiteral("ms"), this));

  auto* stepper = new QVBoxLayout;
  stepper->setSpacing(0);
  up_ = new QToolButton(this);
  down_ = new QToolButton(this);
  for (auto [button, arrow] : {std::pair{up_, Qt::UpArrow}, std::pair{down_, Qt::DownArrow}}) {
    button->setArrowType(arrow);
    button->setFixedSize(18, 12);
    button->setAutoRepeat(true);
    stepper->addWidget(button);
  }
  connect(up_, &QToolButton::clicked, this, [this] { step(+1); });
  connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
  row->addLayout(stepper);
}

void DelayField::setValue(std::int64_t value) {
  // Only a new value replaces the edit text: refreshes of the same value
  // (30 a second while meters move) leave the user's typing alone.
  if (value == value_) return;
  value_ = value;
  edit_->setText(QString::number(value));
}

void DelayField::setAccessibleLabel(const QString& label) {
  setAccessibleName(label);
  edit_->setAccessibleName(label);
  up_->setAccessibleName(label);
  down_->setAccessibleName(label);
}

bool DelayField::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::FocusOut) commit();
  return QWidget::eventFilter(watched, event);
}

void DelayField::commit() {
  const DelayCommit result = commitDelay(edit_->text().toStdString(), value_);
  edit_->setText(QString::fromStdString(result.text));
  if (!result.value) return;
  // Taken at once, so a Return followed by leaving the field reports once.
  value_ = *result.value;
  Q_EMIT changed(*result.value);
}

void DelayField::step(int direction) {
  const std::int64_t next = std::clamp(value_ + direction * kDelayStepMs, kMinDelayMs, kMaxDelayMs);
  if (next == value_) return;
  setValue(next);
  Q_EMIT changed(next);
}

}  // namespace choralink::ui

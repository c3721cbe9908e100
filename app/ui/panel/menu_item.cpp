#include "app/ui/panel/menu_item.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include "app/ui/palette.h"

namespace choralink::ui {

MenuItem::MenuItem(QWidget* parent) : QAbstractButton(parent) {
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::NoFocus);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

MenuItem* MenuItem::command(const QString& title, const QString& shortcut, QWidget* parent) {
  auto* item = new MenuItem(parent);
  item->setText(title);
  item->setAccessibleName(title);
  auto* row = new QHBoxLayout(item);
  row->setContentsMargins(10, 4, 10, 4);
  auto* titleLabel = new QLabel(title, item);
  auto* shortcutLabel = new QLabel(shortcut, item);
  QPalette quiet = shortcutLabel->palette();
  quiet.setColor(QPalette::WindowText, secondaryText(schemeOf(*parent)));
  shortcutLabel->setPalette(quiet);
  for (QLabel* label : {titleLabel, shortcutLabel})
    passMouseThrough(*label);
  row->addWidget(titleLabel);
  row->addStretch(1);
  row->addWidget(shortcutLabel);
  return item;
}

void MenuItem::passMouseThrough(QWidget& child) {
  child.setAttribute(Qt::WA_TransparentForMouseEvents);
}

QSize MenuItem::sizeHint() const {
  const QSize content = layout() ? layout()->sizeHint() : QSize(100, 22);
  return {content.width(), std::max(content.height(), 26)};
}

void MenuItem::paintEvent(QPaintEvent*) {
  if (!isEnabled() || !underMouse()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(hairline(isDown() ? 0.16 : 0.09, schemeOf(*this)));
  painter.drawRoundedRect(QRectF(rect()).adjusted(4, 1, -4, -1), 5, 5);
}

}  // namespace choralink::ui

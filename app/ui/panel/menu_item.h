// A menu-like row of the tray panel: a flat button that highlights while
// the pointer is over it (when enabled) and is drawn dimmed when disabled.
// Its content is laid out by the owner; child widgets let the mouse through.
#pragma once

#include <QAbstractButton>

class QLabel;

namespace choralink::ui {

class MenuItem : public QAbstractButton {
  Q_OBJECT

 public:
  explicit MenuItem(QWidget* parent = nullptr);

  // A command row: the title on the left, the shortcut text on the right.
  static MenuItem* command(const QString& title, const QString& shortcut, QWidget* parent);

  // Makes `child` part of the row's face: it no longer takes the mouse.
  static void passMouseThrough(QWidget& child);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace choralink::ui

// A device kind's symbol in a 34-point rounded square: the accent colour on
// a faint teal while the device plays, quiet grey otherwise. Decorative, so
// hidden from accessibility (the card names the device).
#pragma once

#include <QWidget>

#include "engine/devices/device_kind.h"

namespace choralink::ui {

class DeviceIcon : public QWidget {
  Q_OBJECT

 public:
  explicit DeviceIcon(QWidget* parent = nullptr);

  void setDevice(DeviceKind kind, bool active);
  DeviceKind kind() const { return kind_; }
  bool active() const { return active_; }

  QSize sizeHint() const override { return {34, 34}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  DeviceKind kind_ = DeviceKind::other;
  bool active_ = false;
};

}  // namespace choralink::ui

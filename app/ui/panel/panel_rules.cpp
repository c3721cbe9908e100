#include "app/ui/panel/panel_rules.h"

#include <algorithm>

namespace choralink::ui {

MenuDeviceRowState menuDeviceRow(const AppModel& model, const AudioDeviceInfo& device) {
  const DeviceSettings stored = model.deviceSettings(device.uid);
  const bool supported = device.supportStatus == SupportStatus::supported;
  const bool direct =
      model.settings().mode == BroadcastMode::mirror && model.defaultOutputUID() == device.uid;
  const bool live = stored.enabled && supported && !direct;

  MenuDeviceRowState row;
  row.name = device.name;
  if (!supported) {
    row.detail = "Not supported yet";
  } else if (direct) {
    row.detail = "Playing directly";
  }
  row.checkmark = live;
  row.pressable = supported && !direct;
  row.pressTurnsOn = !stored.enabled;
  row.showsVolume = live;
  row.volume = static_cast<int>(stored.volume);
  row.accessibleName = device.name + (stored.enabled ? ", on" : ", off");
  return row;
}

QRect panelPlacement(const QRect& icon, const QPoint& pointer, const QSize& size,
                     const QRect& available) {
  const QRect anchor = icon.isEmpty() ? QRect(pointer, QSize(1, 1)) : icon;
  QPoint topLeft(anchor.left(), anchor.bottom() + 1);
  if (topLeft.y() + size.height() > available.bottom() + 1) {
    topLeft.setY(anchor.top() - size.height());
  }
  // Kept on screen; a panel larger than the screen keeps its top-left corner
  // visible, where the header and the switch are.
  topLeft.setX(
      std::max(available.left(), std::min(topLeft.x(), available.right() + 1 - size.width())));
  topLeft.setY(
      std::max(available.top(), std::min(topLeft.y(), available.bottom() + 1 - size.height())));
  return QRect(topLeft, size);
}

}  // namespace choralink::ui

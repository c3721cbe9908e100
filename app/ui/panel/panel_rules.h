// The rules of the tray panel, apart from its widgets: what each device row
// shows and allows, and where the panel opens.
#pragma once

#include <string>

#include <QPoint>
#include <QRect>
#include <QSize>

#include "app/model/app_model.h"

namespace choralink::ui {

// One device's row in the panel.
struct MenuDeviceRowState {
  std::string name;
  // "Not supported yet", "Playing directly", or empty.
  std::string detail;
  bool checkmark = false;
  // Whether pressing the row switches the device.
  bool pressable = false;
  // What pressing it asks for: the negation of the stored switch.
  bool pressTurnsOn = false;
  // The indented volume row under it, and its value in percent.
  bool showsVolume = false;
  int volume = 0;
  // "Desk Speaker, on"
  std::string accessibleName;
};

MenuDeviceRowState menuDeviceRow(const AppModel& model, const AudioDeviceInfo& device);

// The panel's frame: next to the tray icon when the desktop tells where the
// icon is (below it, or above it when the icon sits at the bottom of the
// screen), else at the pointer; always inside `available`, the screen's
// area free of desktop panels. An empty `icon` means the place is unknown.
QRect panelPlacement(const QRect& icon, const QPoint& pointer, const QSize& size,
                     const QRect& available);

}  // namespace choralink::ui

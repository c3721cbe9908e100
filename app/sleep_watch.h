// Sleep and wake from logind: PrepareForSleep(true) before the system
// suspends, PrepareForSleep(false) after it resumed, on the system bus
// (DBUS_SYSTEM_BUS_ADDRESS when set, the standard bus otherwise). The
// router tears a broadcast down before sleep and restarts a wanted one after
// wake. Lives on the Qt thread.
#pragma once

#include <QObject>

#include "engine/control/router_control.h"
#include "support/log.h"

namespace choralink {

class SleepWatch final : public QObject {
  Q_OBJECT

 public:
  // `router` and `log` must outlive this object.
  SleepWatch(RouterControl& router, Log& log, QObject* parent = nullptr);

  // Subscribes to the signal. Without a system bus, says so in one log line
  // and returns false: the application carries on without it.
  bool start();

 private Q_SLOTS:
  void prepareForSleep(bool sleeping);

 private:
  RouterControl& router_;
  Log& log_;
};

}  // namespace choralink

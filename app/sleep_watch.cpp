#include "app/sleep_watch.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QString>

namespace choralink {

SleepWatch::SleepWatch(RouterControl& router, Log& log, QObject* parent)
    : QObject(parent), router_(router), log_(log) {}

bool SleepWatch::start() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    log_.info("No system bus: sleep and wake are not followed (" +
              bus.lastError().message().toStdString() + ")");
    return false;
  }
  // No sender filter: a match on "org.freedesktop.login1" would need the
  // name's owner resolved first, and the signal's path and interface already
  // say who sends it; the worst a stray sender can do is a rebuild.
  const bool connected =
      bus.connect(QString(), QStringLiteral("/org/freedesktop/login1"),
                  QStringLiteral("org.freedesktop.login1.Manager"),
                  QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
  if (!connected) {
    log_.info("Sleep and wake are not followed: " + bus.lastError().message().toStdString());
  }
  return connected;
}

void SleepWatch::prepareForSleep(bool sleeping) {
  log_.info(sleeping ? "System will sleep" : "System did wake");
  if (sleeping) {
    router_.systemWillSleep();
  } else {
    router_.systemDidWake();
  }
}

}  // namespace choralink

// One Choralink per user. The first instance listens on a local socket in
// the user's runtime folder; a later launch connects, asks it to reopen and
// exits, so a second start from the applications menu or the command line
// brings the running one forward instead of starting a second engine.
// Lives on the Qt thread.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace choralink {

class SingleInstance final : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(QString name, QObject* parent = nullptr);

  // Asks a running instance to reopen. True when one took the request: this
  // process should then exit.
  bool handOver();
  // Becomes the running instance. A socket left by an instance that died is
  // replaced. False when another instance started listening meanwhile (hand
  // over to it) or the socket cannot be made (errorString() says why; the
  // application then runs without the hand-over).
  bool listen();
  QString errorString() const { return server_.errorString(); }
  // Stops being the running instance, so that a program started from now on
  // (the relaunch after an update) runs instead of handing over to this one.
  void close() { server_.close(); }

 Q_SIGNALS:
  // A second launch asked for the application.
  void reopenRequested();

 private:
  void accept();

  QString name_;
  QLocalServer server_;
};

}  // namespace choralink

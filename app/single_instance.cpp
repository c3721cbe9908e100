#include "app/single_instance.h"

#include <QLocalSocket>

#include <utility>

namespace choralink {
namespace {

// The whole protocol: a request line and its acknowledgement.
constexpr char kReopen[] = "reopen\n";
constexpr char kTaken[] = "ok\n";
// A running instance answers at once from its event loop; these bound a
// hung one, so that a second launch never hangs with it.
constexpr int kConnectMs = 1000;
constexpr int kAnswerMs = 3000;

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

bool SingleInstance::handOver() {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(kConnectMs)) return false;
  socket.write(kReopen);
  socket.waitForBytesWritten(kAnswerMs);
  // Connected is enough to know another instance lives; the answer only
  // tells whether it could act on the request. Either way this one goes.
  socket.waitForReadyRead(kAnswerMs);
  return true;
}

bool SingleInstance::listen() {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (server_.listen(name_)) return true;
  if (server_.serverError() != QAbstractSocket::AddressInUseError) return false;
  // Another launch may have started listening since handOver() looked; only
  // a socket nobody answers on is a dead instance's file to replace.
  QLocalSocket probe;
  probe.connectToServer(name_);
  if (probe.waitForConnected(kConnectMs)) return false;
  QLocalServer::removeServer(name_);
  return server_.listen(name_);
}

void SingleInstance::accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) return;
      const QByteArray line = socket->readLine();
      if (line == kReopen) {
        socket->write(kTaken);
        socket->flush();
        Q_EMIT reopenRequested();
      }
      socket->disconnectFromServer();
    });
  }
}

}  // namespace choralink

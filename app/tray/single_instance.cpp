#include "app/tray/single_instance.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

namespace lumenbrook {

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName() {
  // The session's private runtime directory where there is one, so that nobody else can
  // take the name first.
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (runtime.startsWith('/')) return QString::fromLocal8Bit(runtime) + "/lumenbrook.socket";
  return "lumenbrook-" + QString::number(static_cast<qulonglong>(::getuid()));
}

bool SingleInstance::sendToRunning(const QString& request) {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(1000)) return false;
  socket.write(request.toUtf8() + '\n');
  if (!socket.waitForBytesWritten(1000)) return false;
  // The running instance closes once it has read the line.
  socket.waitForDisconnected(1000);
  return true;
}

bool SingleInstance::listen() {
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name_)) {
    // Nobody answered sendToRunning(), so what is there was left by a crash.
    QLocalServer::removeServer(name_);
    if (!server_->listen(name_)) return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) return;
        QString line = QString::fromUtf8(socket->readLine(64)).trimmed();
        socket->disconnectFromServer();
        emit requested(line);
      });
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
  });
  return true;
}

}  // namespace lumenbrook

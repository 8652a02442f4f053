#include "QNSingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {
const QByteArray kRaise = QByteArrayLiteral("raise\n");
}

QNSingleInstance::QNSingleInstance(const QString& socketPath, QObject* parent)
    : QObject(parent)
    , _socketPath(socketPath) {}

QString QNSingleInstance::defaultSocketPath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        return runtime + QStringLiteral("/quillon/settings.socket");
    }
    return QDir::tempPath() + QStringLiteral("/quillon-settings-%1.socket").arg(getuid());
}

bool QNSingleInstance::askRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(_socketPath);
    if (!socket.waitForConnected(2000)) {
        return false;
    }
    socket.write(kRaise);
    socket.waitForBytesWritten(2000);
    socket.disconnectFromServer();
    return true;
}

bool QNSingleInstance::listen() {
    const QFileInfo info(_socketPath);
    // The folder is the user's alone, so no one else can answer in the first window's place.
    QDir().mkpath(info.absolutePath());
    QFile::setPermissions(info.absolutePath(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    _server = new QLocalServer(this);
    _server->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered on it, so a socket file left there is from a start that ended without removing it.
    QLocalServer::removeServer(_socketPath);
    if (!_server->listen(_socketPath)) {
        return false;
    }
    connect(_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = _server->nextPendingConnection()) {
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->readAll().startsWith(kRaise.trimmed())) {
                    emit raiseRequested();
                }
                client->disconnectFromServer();
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    return true;
}

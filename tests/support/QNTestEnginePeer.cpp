#include "support/QNTestEnginePeer.h"

#include "support/QNTestWait.h"

#include <QLocalSocket>

#include <cstring>

QNTestEnginePeer::QNTestEnginePeer(const QString& socketPath) {
    connect(&_server, &QLocalServer::newConnection, this, &QNTestEnginePeer::accept);
    QLocalServer::removeServer(socketPath);
    _server.listen(socketPath);
}

QNTestEnginePeer::~QNTestEnginePeer() {
    dropAgent();
}

QList<QByteArray> QNTestEnginePeer::values(quint32 option) const {
    QList<QByteArray> result;
    for (const Frame& frame : _frames) {
        if (frame.option == option) {
            result << frame.value;
        }
    }
    return result;
}

void QNTestEnginePeer::accept() {
    while (QLocalSocket* socket = _server.nextPendingConnection()) {
        // One agent at a time, as the engine does: a newer one replaces the old.
        dropAgent();
        _client = socket;
        ++_accepted;
        _input.clear();
        connect(socket, &QLocalSocket::readyRead, this, &QNTestEnginePeer::read);
        connect(socket, &QLocalSocket::disconnected, this, [this] {
            ++_closed;
            dropAgent();
        });
    }
}

void QNTestEnginePeer::read() {
    _input.append(_client->readAll());
    while (_input.size() >= 8) {
        quint32 length = 0;
        std::memcpy(&length, _input.constData(), sizeof length);
        if (length < 8) {
            _garbage += _input.size();
            _input.clear();
            break;
        }
        if (quint32(_input.size()) < length) {
            break;
        }
        quint32 option = 0;
        std::memcpy(&option, _input.constData() + 4, sizeof option);
        _frames.append({option, _input.mid(8, length - 8)});
        _input.remove(0, length);
    }
}

void QNTestEnginePeer::dropAgent() {
    if (_client) {
        // Gone from here on: its own disconnection is not the agent closing.
        _client->disconnect(this);
        _client->abort();
        _client->deleteLater();
        _client = nullptr;
    }
}

bool QNTestEnginePeer::waitForFrames(qsizetype count, int timeoutMilliseconds) {
    return qnWaitUntil([&] { return _frames.size() >= count; }, timeoutMilliseconds);
}

bool QNTestEnginePeer::waitForAgent(int accepted, int timeoutMilliseconds) {
    return qnWaitUntil([&] { return _accepted >= accepted; }, timeoutMilliseconds);
}

bool QNTestEnginePeer::waitForClose(int closed, int timeoutMilliseconds) {
    return qnWaitUntil([&] { return _closed >= closed; }, timeoutMilliseconds);
}

bool QNTestEnginePeer::send(quint32 type, const QByteArray& payload) {
    const QByteArray message = bytesOf(quint32(8 + payload.size())) + bytesOf(type) + payload;
    if (!_client || _client->write(message) != message.size()) {
        return false;
    }
    // Out before anything else happens, as a blocking send would have it.
    _client->flush();
    return _client->bytesToWrite() == 0;
}

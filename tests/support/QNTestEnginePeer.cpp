#include "support/QNTestEnginePeer.h"

#include "kernel/QNAtomTypes.h"
#include "support/QNTestWait.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

quint32 readU32(const QByteArray& bytes, qsizetype offset) {
    quint32 value = 0;
    std::memcpy(&value, bytes.constData() + offset, sizeof value);
    return value;
}

void appendU32(QByteArray& bytes, quint32 value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

QNTestEnginePeer::QNTestEnginePeer(const QString& socketPath)
    : _path(socketPath) {
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        return;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ::unlink(path.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return;
    }
    _listener = fd;
    _listenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_listenNotifier, &QSocketNotifier::activated, this, &QNTestEnginePeer::accept);
}

QNTestEnginePeer::~QNTestEnginePeer() {
    dropAgent();
    if (_listener >= 0) {
        delete _listenNotifier;
        ::close(_listener);
        ::unlink(QFile::encodeName(_path).constData());
    }
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
    const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // One agent at a time, as the engine does: a newer one replaces the old.
    dropAgent();
    _client = fd;
    ++_accepted;
    _input.clear();
    _readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_readNotifier, &QSocketNotifier::activated, this, &QNTestEnginePeer::read);
}

void QNTestEnginePeer::read() {
    char buffer[4096];
    const ssize_t count = ::recv(_client, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (count <= 0) {
        ++_closed;
        dropAgent();
        return;
    }
    _input.append(buffer, count);
    while (_input.size() >= 8) {
        const quint32 length = readU32(_input, 0);
        if (length < 8) {
            _garbage += _input.size();
            _input.clear();
            break;
        }
        if (quint32(_input.size()) < length) {
            break;
        }
        _frames.append({readU32(_input, 4), _input.mid(8, length - 8)});
        _input.remove(0, length);
    }
}

void QNTestEnginePeer::dropAgent() {
    if (_client >= 0) {
        delete _readNotifier;
        _readNotifier = nullptr;
        ::close(_client);
        _client = -1;
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
    if (_client < 0) {
        return false;
    }
    QByteArray message;
    appendU32(message, quint32(8 + payload.size()));
    appendU32(message, type);
    message += payload;
    return ::send(_client, message.constData(), size_t(message.size()), MSG_NOSIGNAL) == message.size();
}

bool QNTestEnginePeer::sendConnections(qint32 count) {
    return send(kQNAtomTypeConnections, QByteArray(reinterpret_cast<const char*>(&count), sizeof count));
}

bool QNTestEnginePeer::sendDataSent(quint64 bytes) {
    return send(kQNAtomTypeDataSent, QByteArray(reinterpret_cast<const char*>(&bytes), sizeof bytes));
}

bool QNTestEnginePeer::sendDataReceived(quint64 bytes) {
    return send(kQNAtomTypeDataReceived, QByteArray(reinterpret_cast<const char*>(&bytes), sizeof bytes));
}

bool QNTestEnginePeer::sendLog(const QByteArray& text) {
    return send(kQNAtomTypeLog, text);
}

#include "kernel/QNControlChannel.h"

#include "util/QNConstants.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void appendU32(QByteArray& frame, quint32 value) {
    frame.append(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

QString QNControlChannel::controlSocketPath() {
    const QString path = qEnvironmentVariable(kEnvironmentVariable);
    return path.isEmpty() ? QString::fromLatin1(kDefaultPath) : path;
}

QNControlChannel::QNControlChannel(QString socketPath, QObject* parent)
    : QObject(parent)
    , _socketPath(std::move(socketPath)) {
    QNControlMessageParser::Callbacks callbacks;
    callbacks.connections = [this](qint32 connections) {
        _connections = connections;
        emit statisticsChanged(kQNAtomTypeConnections);
    };
    callbacks.dataReceived = [this](quint64 dataReceived) {
        _dataReceived = dataReceived;
        emit statisticsChanged(kQNAtomTypeDataReceived);
    };
    callbacks.dataSent = [this](quint64 dataSent) {
        _dataSent = dataSent;
        emit statisticsChanged(kQNAtomTypeDataSent);
    };
    callbacks.log = [this](const QByteArray& text) {
        if (_logging) {
            emit logLine(QString::fromUtf8(text));
        }
    };
    _parser.setCallbacks(std::move(callbacks));
}

QNControlChannel::~QNControlChannel() {
    closeSocket();
}

void QNControlChannel::enableControlSocket(bool enable) {
    if (enable && !isControlSocketOpen()) {
        openSocket();
    } else if (!enable && isControlSocketOpen()) {
        closeSocket();
    }
}

bool QNControlChannel::openSocket() {
    const QByteArray path = _socketPath.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    // Non-blocking from the start: a connect to an engine whose backlog is full fails at once instead
    // of holding up the event loop.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        ::close(fd);
        return false;
    }

    _controlSocket = fd;
    ++_generation;
    _parser.clear();
    _notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &QNControlChannel::readControlSocketData);
    return true;
}

void QNControlChannel::closeSocket() {
    stopReading();
    if (_controlSocket >= 0) {
        ::close(_controlSocket);
        _controlSocket = -1;
    }
    _parser.clear();
}

void QNControlChannel::stopReading() {
    ++_generation;
    if (_notifier != nullptr) {
        // This may run inside the notifier's own signal: disable now, delete once back in the loop.
        _notifier->setEnabled(false);
        _notifier->deleteLater();
        _notifier = nullptr;
    }
}

void QNControlChannel::readControlSocketData() {
    if (_notifier == nullptr || _controlSocket < 0) {
        return;
    }
    const quint64 generation = _generation;
    const int fd = _controlSocket;
    char buffer[kQNApplicationBufferSize];
    for (int reads = 0; reads < kReadsPerWakeUp; ++reads) {
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (count <= 0) {
            // Error or end of stream: keep the descriptor for sending options, stop reading.
            stopReading();
            _parser.clear();
            emit streamError();
            return;
        }
        _parser.appendData(QByteArrayView(buffer, count));
        while (parseControlSocketData()) {
            if (_generation != generation) {
                return;
            }
        }
        if (_generation != generation) {
            return;
        }
        if (_parser.framingLost()) {
            // Nothing after an unframeable length can be read as messages: the stream is broken.
            stopReading();
            _parser.clear();
            emit streamError();
            return;
        }
    }
}

bool QNControlChannel::parseControlSocketData() {
    return _parser.parseControlSocketData();
}

void QNControlChannel::resetStatistics() {
    _connections = 0;
    _dataReceived = 0;
    _dataSent = 0;
}

bool QNControlChannel::updateKEXT(quint32 option, const QByteArray& data) {
    if (!isControlSocketOpen()) {
        return false;
    }
    QByteArray value;
    if (option == kQNKernelOptionProfile) {
        value = data;
    } else if (option == kQNKernelOptionLogging) {
        value = QByteArray(1, _logging ? '\1' : '\0');
    } else {
        return false;
    }

    QByteArray frame;
    frame.reserve(qsizetype(QNControlMessageParser::kHeaderSize) + value.size());
    appendU32(frame, quint32(QNControlMessageParser::kHeaderSize + quint64(value.size())));
    appendU32(frame, option);
    frame.append(value);

    const qsizetype written = writeFrame(frame);
    if (written == frame.size()) {
        return true;
    }
    if (written > 0) {
        closeSocket();
    }
    emit optionError(option);
    return false;
}

qsizetype QNControlChannel::writeFrame(const QByteArray& frame) {
    const int fd = _controlSocket;
    qsizetype written = 0;
    while (written < frame.size()) {
        const ssize_t count =
            ::send(fd, frame.constData() + written, size_t(frame.size() - written), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            written += count;
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The engine reads slower than we write: wait for room, but not forever.
            pollfd descriptor{fd, POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&descriptor, 1, _writeTimeoutMilliseconds);
            } while (ready < 0 && errno == EINTR);
            if (ready <= 0) {
                break;
            }
            continue; // a hang-up or error shows in the next send
        }
        break;
    }
    return written;
}

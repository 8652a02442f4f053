#include "QNEngineServer.h"

#include "util/QNSystemError.h"

#include "kernel/QNAtomTypes.h"
#include "kernel/QNAtomWriter.h"
#include "kernel/QNProfileStreamDecoder.h"
#include "util/QNConstants.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

QNEngineServer::QNEngineServer(Options options, QObject* parent)
    : QObject(parent)
    , _options(std::move(options))
    , _socketFile(_options.socketPath) {
    _statisticsTimer.setInterval(_options.intervalMilliseconds);
    connect(&_statisticsTimer, &QTimer::timeout, this, [this] {
        ++_ticks;
        if (_options.simulate) {
            // A made-up but plausible load: a handful of connections, counters that only go up.
            _connections = qint32(1 + _ticks % 7);
            _dataReceived += 1500 * (1 + _ticks % 11);
            _dataSent += 400 * (1 + _ticks % 5);
        }
        sendStatistics();
    });
}

QNEngineServer::~QNEngineServer() {
    shutdown();
}

bool QNEngineServer::listen(QString* error) {
    bool removedStale = false;
    const int fd = _socketFile.listen(kListenBacklog, error, &removedStale);
    if (fd < 0) {
        return false;
    }
    if (removedStale) {
        report(QStringLiteral("removed a stale socket file"));
    }
    _listener = fd;
    _listenerNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_listenerNotifier, &QSocketNotifier::activated, this, &QNEngineServer::acceptAgent);
    _statisticsTimer.start();
    report(QStringLiteral("listening on %1").arg(_options.socketPath));
    return true;
}

void QNEngineServer::shutdown() {
    if (_client >= 0) {
        closeAgent(QString());
    }
    _statisticsTimer.stop();
    if (_listener < 0) {
        return;
    }
    delete _listenerNotifier;
    _listenerNotifier = nullptr;
    _socketFile.close();
    _listener = -1;
}

void QNEngineServer::acceptAgent() {
    if (_client >= 0) {
        return;
    }
    const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    _client = fd;
    _loggingFlag = false;
    _input.clear();
    _output.clear();
    // One agent at a time: the next one waits in the backlog until this one leaves.
    _listenerNotifier->setEnabled(false);
    _readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_readNotifier, &QSocketNotifier::activated, this, &QNEngineServer::readAgent);
    _writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    _writeNotifier->setEnabled(false);
    connect(_writeNotifier, &QSocketNotifier::activated, this, &QNEngineServer::flushOutput);
    report(QStringLiteral("agent connected"));
    sendStatistics();
}

void QNEngineServer::closeAgent(const QString& reason) {
    if (_client < 0) {
        return;
    }
    // Notifiers may be the sender of the signal being handled: disable now, delete later.
    for (QSocketNotifier* notifier : {_readNotifier, _writeNotifier}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    _readNotifier = nullptr;
    _writeNotifier = nullptr;
    ::close(_client);
    _client = -1;
    _input.clear();
    _output.clear();
    _loggingFlag = false;
    if (!reason.isEmpty()) {
        report(reason);
    }
    if (_listenerNotifier != nullptr) {
        _listenerNotifier->setEnabled(true);
    }
}

void QNEngineServer::readAgent() {
    char buffer[65536];
    // Bounded, so an agent that never stops writing cannot starve the statistics timer.
    for (int reads = 0; reads < 256; ++reads) {
        const ssize_t count = ::recv(_client, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (count <= 0) {
            closeAgent(count == 0 ? QStringLiteral("agent disconnected")
                                  : QStringLiteral("agent connection failed: %1").arg(QNSystemErrorText()));
            return;
        }
        _input.append(QByteArrayView(buffer, count));
        if (!handleFrames()) {
            return;
        }
    }
}

bool QNEngineServer::handleFrames() {
    while (_client >= 0) {
        const std::optional<QNOptionFrameReader::Frame> frame = _input.next();
        if (!frame) {
            break;
        }
        handleOption(frame->option, frame->value);
    }
    if (const std::optional<quint32> length = _input.malformedLength(); length && _client >= 0) {
        // No way to find the next frame: this agent's stream is lost.
        closeAgent(QStringLiteral("malformed frame from the agent (length %1); closing its connection").arg(*length));
    }
    return _client >= 0;
}

void QNEngineServer::handleOption(quint32 option, const QByteArray& value) {
    if (option == kQNKernelOptionProfile) {
        handleProfileStream(value);
    } else if (option == kQNKernelOptionLogging) {
        if (value.size() != 1 || quint8(value.at(0)) > 1) {
            report(QStringLiteral("ignored a logging flag of %1 bytes that is not 0 or 1").arg(value.size()));
            return;
        }
        _loggingFlag = value.at(0) == 1;
        report(QStringLiteral("logging flag %1").arg(_loggingFlag ? 1 : 0));
    } else {
        report(QStringLiteral("ignored unknown option %1 (%2 bytes)").arg(option).arg(value.size()));
    }
}

void QNEngineServer::handleProfileStream(const QByteArray& stream) {
    if (stream.isEmpty()) {
        // A zero-length stream switches profiles off.
        if (_options.dump) {
            printDocument("null");
        }
        if (_loggingFlag) {
            sendLog(QStringLiteral("no profile"));
        }
        return;
    }

    QString reason;
    const std::optional<QNDecodedProfile> profile = QNProfileStreamDecoder::decode(stream, &reason);
    if (!profile) {
        const QString text = QStringLiteral("malformed profile stream: %1").arg(reason);
        report(text);
        if (_options.dump) {
            printDocument(QJsonDocument(QJsonObject{{QStringLiteral("error"), reason}}).toJson(QJsonDocument::Compact));
        }
        if (_loggingFlag) {
            sendLog(text);
        }
        return;
    }
    if (_options.dump) {
        printDocument(QNProfileStreamDecoder::jsonDocument(*profile).toJson(QJsonDocument::Compact));
    }
    if (_loggingFlag) {
        sendLog(QStringLiteral("profile %1: %2 proxies, %3 rules, %4 DNS entries")
                    .arg(profile->name.value_or(QString()))
                    .arg(profile->proxies.size())
                    .arg(profile->rules.size())
                    .arg(profile->dns.size()));
    }
}

void QNEngineServer::sendStatistics() {
    if (_client < 0) {
        return;
    }
    queueMessage(kQNAtomTypeConnections, QByteArray(reinterpret_cast<const char*>(&_connections), sizeof _connections));
    queueMessage(kQNAtomTypeDataReceived,
                 QByteArray(reinterpret_cast<const char*>(&_dataReceived), sizeof _dataReceived));
    queueMessage(kQNAtomTypeDataSent, QByteArray(reinterpret_cast<const char*>(&_dataSent), sizeof _dataSent));
    flushOutput();
}

void QNEngineServer::sendLog(const QString& text) {
    queueMessage(kQNAtomTypeLog, text.toUtf8());
    flushOutput();
}

void QNEngineServer::queueMessage(quint32 type, const QByteArray& payload) {
    // An agent that does not read loses messages, whole ones only, so its framing stays intact.
    if (_client < 0 || _output.size() > kMaximumPendingOutput) {
        return;
    }
    QNAtomWriter::appendAtom(_output, type, payload);
}

void QNEngineServer::flushOutput() {
    while (_client >= 0 && !_output.isEmpty()) {
        const ssize_t count = ::send(_client, _output.constData(), size_t(_output.size()), MSG_NOSIGNAL);
        if (count > 0) {
            _output.remove(0, count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            _writeNotifier->setEnabled(true);
            return;
        }
        closeAgent(errno == EPIPE || errno == ECONNRESET
                       ? QStringLiteral("agent disconnected")
                       : QStringLiteral("agent connection failed: %1").arg(QNSystemErrorText()));
        return;
    }
    if (_writeNotifier != nullptr) {
        _writeNotifier->setEnabled(false);
    }
}

void QNEngineServer::report(const QString& text) const {
    std::fprintf(stderr, "quillon-engine: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void QNEngineServer::printDocument(const QByteArray& json) const {
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

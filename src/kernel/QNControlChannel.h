#pragma once

#include "kernel/QNControlMessageParser.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The agent's side of the control socket to the traffic engine: a Unix-domain stream socket on which
// the agent sets options (each sent as one frame: u32 length of the whole frame including its 8-byte
// header, u32 option number, the value) and the engine sends statistics and log lines as atoms.
//
// Reading happens on the thread's event loop, at most kQNApplicationBufferSize bytes per read. After a
// stream error or end, or a message length that cannot be framed (after which no message boundary can be
// found again), the channel stops reading but keeps the descriptor, so options can still be sent until
// the owner closes and reopens it.
class QNControlChannel : public QObject {
    Q_OBJECT

public:
    // Environment variable that names another socket path (test rigs, per-user engine stand-ins).
    static constexpr const char* kEnvironmentVariable = "QUILLON_CONTROL_SOCKET";
    // Root-owned folder, so no user can stand in for the engine.
    static constexpr const char* kDefaultPath = "/run/quillon/control.sock";
    // How long a write may make no progress before the option counts as failed.
    static constexpr int kDefaultWriteTimeoutMilliseconds = 5000;
    // Reads done per wake-up before returning to the event loop, so a flooding peer cannot starve it.
    static constexpr int kReadsPerWakeUp = 64;

    // The path the agent connects to: QUILLON_CONTROL_SOCKET when set and not empty, else kDefaultPath.
    static QString controlSocketPath();

    explicit QNControlChannel(QString socketPath, QObject* parent = nullptr);
    ~QNControlChannel() override;

    QString socketPath() const { return _socketPath; }

    // Opens (connects) or closes the socket; nothing happens when it is already in that state.
    // Failing to connect leaves it closed without a message: the next switch-on tries again.
    void enableControlSocket(bool enable);
    bool isControlSocketOpen() const { return _controlSocket >= 0; }
    // True while messages are being read (open and no stream error or end since).
    bool isReading() const { return _notifier != nullptr; }
    // The descriptor, -1 when closed.
    int controlSocket() const { return _controlSocket; }

    // Option 0 sends the data as the profile stream (empty: no profile); option 1 sends the logging
    // flag (the data is ignored); other options do nothing. Nothing is sent while closed. Returns true
    // when the whole frame went out; otherwise optionError is emitted. A frame that broke off halfway
    // leaves the engine unable to find the next one, so the socket is then closed; the next switch-on
    // opens it afresh.
    bool updateKEXT(quint32 option, const QByteArray& data = QByteArray());

    // Drains the socket into the receive buffer and handles every complete message.
    void readControlSocketData();
    // Handles the first complete buffered message; true when bytes remain that may hold another.
    bool parseControlSocketData();
    // Bytes received and not yet parsed.
    QByteArray controlBufferData() const { return _parser.controlBufferData(); }

    // The logging setting: the value of option 1, and whether 'loge' lines are passed on.
    bool logging() const { return _logging; }
    void setLogging(bool logging) { _logging = logging; }

    // Last values reported by the engine.
    qint32 connections() const { return _connections; }
    quint64 dataReceived() const { return _dataReceived; }
    quint64 dataSent() const { return _dataSent; }
    // Zeroed at every profile switch; otherwise they change only on messages.
    void resetStatistics();

    void setWriteTimeout(int milliseconds) { _writeTimeoutMilliseconds = milliseconds; }

signals:
    // messageType is kQNAtomTypeConnections, kQNAtomTypeDataReceived or kQNAtomTypeDataSent.
    void statisticsChanged(quint32 messageType);
    // A 'loge' line; only while logging is on.
    void logLine(const QString& text);
    // The read side failed or the engine closed it; nothing more is read until reopened.
    void streamError();
    // An option could not be sent whole.
    void optionError(quint32 option);

private:
    bool openSocket();
    void closeSocket();
    void stopReading();
    // Sends all of frame or reports how far it got.
    qsizetype writeFrame(const QByteArray& frame);

    QString _socketPath;
    int _controlSocket = -1;
    QSocketNotifier* _notifier = nullptr;
    QNControlMessageParser _parser;
    // Bumped whenever the socket or its reading stops, so a read loop can tell that a handler it
    // called has closed or replaced the socket underneath it.
    quint64 _generation = 0;

    qint32 _connections = 0;
    quint64 _dataReceived = 0;
    quint64 _dataSent = 0;
    bool _logging = false;
    int _writeTimeoutMilliseconds = kDefaultWriteTimeoutMilliseconds;
};

#pragma once

#include "kernel/QNOptionFrameReader.h"

#include "engine/QNControlSocketFile.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>

class QSocketNotifier;

// The engine stand-in's side of the control socket: listens on a Unix-domain stream socket, serves one
// agent at a time, decodes the option frames it sends and answers with statistics and log lines. It
// intercepts no traffic; its counters only move with the simulation switched on.
//
// Everything the agent sends is hostile input: a frame whose length cannot be right closes that agent's
// connection; a frame that is framed well but carries a bad value is reported and skipped. Nothing an
// agent sends can stop the engine.
class QNEngineServer : public QObject {
    Q_OBJECT

public:
    struct Options {
        QString socketPath;
        int intervalMilliseconds = 1000;
        bool dump = false;
        bool simulate = false;
    };

    // Frames from the agent are at most this long; a profile stream is far smaller.
    static constexpr quint32 kMaximumFrameLength = 64 * 1024 * 1024;
    // Bytes queued for a slow agent beyond which statistics and log lines are dropped, not queued.
    static constexpr qsizetype kMaximumPendingOutput = 1024 * 1024;
    // Queued agents waiting for the current one to leave.
    static constexpr int kListenBacklog = 8;

    explicit QNEngineServer(Options options, QObject* parent = nullptr);
    ~QNEngineServer() override;

    // Prepares the path (parent folder, stale socket) and starts listening. False with *error set when
    // another engine listens there or the path cannot be used.
    bool listen(QString* error);
    // Closes everything and removes the socket file, if it is still the one this engine made.
    void shutdown();

    bool hasAgent() const { return _client >= 0; }

private:
    void acceptAgent();
    void closeAgent(const QString& reason);
    void readAgent();
    // Handles every complete frame in _input. False when the agent's connection was closed.
    bool handleFrames();
    void handleOption(quint32 option, const QByteArray& value);
    void handleProfileStream(const QByteArray& stream);
    void sendStatistics();
    void sendLog(const QString& text);
    void queueMessage(quint32 type, const QByteArray& payload);
    void flushOutput();
    void report(const QString& text) const;
    void printDocument(const QByteArray& json) const;

    Options _options;
    QNControlSocketFile _socketFile;
    int _listener = -1;
    QSocketNotifier* _listenerNotifier = nullptr;

    int _client = -1;
    QSocketNotifier* _readNotifier = nullptr;
    QSocketNotifier* _writeNotifier = nullptr;
    QNOptionFrameReader _input{kMaximumFrameLength};
    QByteArray _output;
    bool _loggingFlag = false;

    QTimer _statisticsTimer;
    qint32 _connections = 0;
    quint64 _dataReceived = 0;
    quint64 _dataSent = 0;
    quint64 _ticks = 0;
};

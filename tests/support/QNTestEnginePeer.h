#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;

// An engine stand-in for the agent's tests: listens on a Unix socket, takes one agent at a
// time, records every option frame exactly as it arrives and sends whatever messages a test asks for.
class QNTestEnginePeer : public QObject {
public:
    struct Frame {
        quint32 option = 0;
        QByteArray value;
    };

    explicit QNTestEnginePeer(const QString& socketPath);
    ~QNTestEnginePeer() override;

    bool isListening() const { return _listener >= 0; }
    // Agents accepted so far, and how many of them closed their end.
    int agentsAccepted() const { return _accepted; }
    int agentsClosed() const { return _closed; }

    const QList<Frame>& frames() const { return _frames; }
    // Frames of one option, in order.
    QList<QByteArray> values(quint32 option) const;
    // Bytes that did not frame (a length below 8): a fault of the agent.
    qsizetype garbageBytes() const { return _garbage; }

    // Event-driven waits; false on time-out.
    bool waitForFrames(qsizetype count, int timeoutMilliseconds = 20000);
    bool waitForAgent(int accepted, int timeoutMilliseconds = 20000);
    bool waitForClose(int closed, int timeoutMilliseconds = 20000);

    // Sends one message (an atom) to the current agent.
    bool send(quint32 type, const QByteArray& payload);
    bool sendConnections(qint32 count);
    bool sendDataSent(quint64 bytes);
    bool sendDataReceived(quint64 bytes);
    bool sendLog(const QByteArray& text);
    // Closes the current agent's connection from the engine's side.
    void dropAgent();

private:
    void accept();
    void read();

    QString _path;
    int _listener = -1;
    int _client = -1;
    QSocketNotifier* _listenNotifier = nullptr;
    QSocketNotifier* _readNotifier = nullptr;
    QByteArray _input;
    QList<Frame> _frames;
    qsizetype _garbage = 0;
    int _accepted = 0;
    int _closed = 0;
};

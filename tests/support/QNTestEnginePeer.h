#pragma once

#include "kernel/QNAtomTypes.h"

#include <QByteArray>
#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QString>

class QLocalSocket;

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

    bool isListening() const { return _server.isListening(); }
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
    bool sendConnections(qint32 count) { return send(kQNAtomTypeConnections, bytesOf(count)); }
    bool sendDataSent(quint64 bytes) { return send(kQNAtomTypeDataSent, bytesOf(bytes)); }
    bool sendDataReceived(quint64 bytes) { return send(kQNAtomTypeDataReceived, bytesOf(bytes)); }
    bool sendLog(const QByteArray& text) { return send(kQNAtomTypeLog, text); }
    // Closes the current agent's connection from the engine's side.
    void dropAgent();

private:
    // A number as the engine sends it: in the machine's own byte order.
    template <typename Number> static QByteArray bytesOf(Number value) {
        return QByteArray(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void accept();
    void read();

    QLocalServer _server;
    QLocalSocket* _client = nullptr;
    QByteArray _input;
    QList<Frame> _frames;
    qsizetype _garbage = 0;
    int _accepted = 0;
    int _closed = 0;
};

#pragma once

#include "engine/QNProxyHandshake.h"

#include <QByteArray>
#include <QString>

#include <memory>

// Runs a handshake over a real socket, the way the relay does but blocking, then carries HTTP requests
// over the connection it made (through the plain-HTTP stream when there is one).
class QNProxyPeerDriver {
public:
    QNProxyPeerDriver(QList<QNDecodedProxy> hops, QNEngineTarget target);
    ~QNProxyPeerDriver();

    // Connects to the first hop and takes the handshake to its end; false with failure() set otherwise.
    bool connect();
    QString failure() const { return _failure; }
    // Sends one request and returns the response's body (the head's Content-Length says how long);
    // empty with failure() set when the exchange failed.
    QByteArray exchange(const QByteArray& request);

private:
    bool send(const QByteArray& bytes);
    // Appends what the peer sends next to *bytes; false at the end or on time-out.
    bool receive(QByteArray* bytes);

    QNProxyHandshake _handshake;
    std::unique_ptr<QNHTTPProxyStream> _stream;
    QByteArray _received;
    QString _failure;
    int _socket = -1;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 qnFreeLoopbackPort();
// Whether something accepts connections on 127.0.0.1:port.
bool qnIsListening(quint16 port);

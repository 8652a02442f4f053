#pragma once

#include "engine/QNEngineTarget.h"
#include "engine/QNHTTPProxyStream.h"
#include "kernel/QNProfileStreamDecoder.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

// Takes one connection through its proxies, hop by hop: the engine's socket reaches hop 1, each hop is
// asked to reach the next one, the last the destination. Pure: bytes in, bytes out, no sockets. Every
// reply is bounded, and the outcome does not depend on how the proxy cuts its bytes.
class QNProxyHandshake {
public:
    enum class Status { Continue, Done, Failed };

    QNProxyHandshake(QList<QNDecodedProxy> hops, QNEngineTarget target);
    ~QNProxyHandshake();
    QNProxyHandshake(const QNProxyHandshake&) = delete;
    QNProxyHandshake& operator=(const QNProxyHandshake&) = delete;

    // Where the engine's socket connects: hop 1 (for an SSH tunnel, its local listener on 127.0.0.1).
    // nullopt, with failureReason() set, when hop 1 cannot be used.
    std::optional<QNEngineTarget> firstHop() const;
    // Once the socket to hop 1 is connected.
    Status start();
    // Bytes to write to the proxy socket now.
    QByteArray takeOutput();
    // Bytes read from the proxy socket.
    Status feed(QByteArrayView bytes);
    // After Done: bytes read past the handshake, which belong to the client.
    QByteArray takeLeftover();
    // After Failed: "at hop 2 of 3 (SOCKS5 "corp" 10.0.0.2:1080): authentication refused".
    QString failureReason() const;
    // After Done: the filter for the rest of the connection when the last hop is a plain-HTTP proxy;
    // nullptr otherwise (the bytes then pass unchanged).
    std::unique_ptr<QNHTTPProxyStream> takeStream();

    // "SOCKS5 "corp" 10.0.0.2:1080", as failure and log lines name a proxy.
    static QString describe(const QNDecodedProxy& proxy);

private:
    struct State;
    std::unique_ptr<State> _state;
};

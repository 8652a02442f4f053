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
//
// SOCKS4 (IPv4 only, the user name as user id), SOCKS4a (the host name when known), SOCKS5 (no
// authentication, or user name and password when a user is set), HTTP CONNECT (Basic credentials when a
// user is set), an SSH tunnel (its local SOCKS5 listener). The two plain-HTTP kinds have no handshake of
// their own: they can only be the last hop, and the rest of the connection goes through takeStream().
class QNProxyHandshake {
public:
    enum class Status { Continue, Done, Failed };

    QNProxyHandshake(QList<QNDecodedProxy> hops, QNEngineTarget target);
    ~QNProxyHandshake();
    QNProxyHandshake(const QNProxyHandshake&) = delete;
    QNProxyHandshake& operator=(const QNProxyHandshake&) = delete;

    // Where the engine's socket connects: hop 1 (for an SSH tunnel, its local listener on 127.0.0.1).
    // nullopt, with failureReason() set, when the hops cannot take this connection at all (a tunnel that
    // is not running, an IPv6 destination behind SOCKS4, a plain-HTTP proxy before the last hop, ...).
    std::optional<QNEngineTarget> firstHop() const;
    // Once the socket to hop 1 is connected. Done at once when hop 1 is a plain-HTTP proxy.
    Status start();
    // Bytes to write to the proxy socket now.
    QByteArray takeOutput();
    // Bytes read from the proxy socket.
    Status feed(QByteArrayView bytes);
    // What the socket said instead: the connection to hop 1 failed, the proxy closed it, the time-out
    // passed. Fails the handshake at the hop it is talking to with this reason.
    Status fail(const QString& reason);
    // After Done: bytes the proxy sent past the handshake, for the client (already through the stream's
    // fromProxy when there is a stream).
    QByteArray takeLeftover();
    // After Failed: "at hop 2 of 3 (SOCKS5 "corp" 10.0.0.2:1080): authentication refused".
    QString failureReason() const;
    // After Done: the filter for the rest of the connection when the last hop is a plain-HTTP proxy that
    // changes bytes; nullptr otherwise, and then the bytes pass unchanged both ways.
    std::unique_ptr<QNHTTPProxyStream> takeStream();

    // How log lines name a proxy: SOCKS5 "corp" 10.0.0.2:1080.
    static QString describe(const QNDecodedProxy& proxy);

private:
    struct State;
    std::unique_ptr<State> _state;
};

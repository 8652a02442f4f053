#pragma once

#include "kernel/QNProfileStreamDecoder.h"
#include "util/QNUtilities.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

// Where a connection is going: the original destination, and its host name when one is known (later).
struct QNEngineTarget {
    QNAddressWords address{}; // the 16-byte form of QNUtilities; IPv4 in the last group
    bool isIPv6 = false;
    quint16 port = 0;
    QString hostName; // empty when unknown
};

class QNHTTPProxyStream;

// Takes one connection through its hops. Pure: bytes in, bytes out, no sockets.
class QNProxyHandshake {
public:
    enum class Status { Continue, Done, Failed };
    QNProxyHandshake(QList<QNDecodedProxy> hops, QNEngineTarget target);
    ~QNProxyHandshake();
    // Where the engine's socket connects: hop 1's address and port (for an SSH tunnel 127.0.0.1:ltpt).
    // nullopt with failureReason() set when hop 1 cannot be used (tunnel not running, ...).
    std::optional<QNEngineTarget> firstHop() const;
    Status start();                    // after the socket to hop 1 is connected
    QByteArray takeOutput();           // bytes to write to the proxy socket now
    Status feed(QByteArrayView bytes); // bytes read from the proxy socket
    QByteArray takeLeftover();         // after Done: bytes read past the handshake, for the client
    QString failureReason() const;     // after Failed: "at hop 2 of 3 (SOCKS5 "corp" 10.0.0.2:1080): ..."
    // After Done: a filter for the rest of the connection when the last hop is a plain-HTTP proxy;
    // nullptr otherwise, and then the relay may splice.
    std::unique_ptr<QNHTTPProxyStream> takeStream();

private:
    QList<QNDecodedProxy> _hops;
    QNEngineTarget _target;
    QString _failureReason;
};

// The rest of a connection whose last hop is a plain-HTTP proxy: request rewriting and header stripping.
class QNHTTPProxyStream {
public:
    enum class Status { Continue, Failed };
    virtual ~QNHTTPProxyStream() = default;
    virtual Status fromClient(QByteArrayView bytes, QByteArray* toProxy) = 0;
    virtual Status fromProxy(QByteArrayView bytes, QByteArray* toClient) = 0;
    virtual QString failureReason() const = 0;
};

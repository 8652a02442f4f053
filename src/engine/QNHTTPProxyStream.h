#pragma once

#include "engine/QNEngineTarget.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The rest of a connection whose last hop is a plain-HTTP proxy. Pure: bytes in, bytes out.
//
// Non-transparent: each request of the connection (keep-alive included) has its request line rewritten
// to the absolute-URI form the proxy needs (naming the site as the client's Host header does), and Proxy-Authorization
// added when a user is set. Bodies (Content-Length or chunked) pass through untouched. When the client's first bytes
// are not an HTTP request (TLS, say), the proxy is asked to CONNECT to the destination instead, and once it agrees the
// bytes pass through unchanged. Transparent: the requests pass unchanged (the proxy serves them by their Host header).
// Both: with anonymize, headers that identify the client are removed from every request.
class QNHTTPProxyStream {
public:
    enum class Status { Continue, Failed };
    enum class Mode { Transparent, NonTransparent };

    struct Settings {
        Mode mode = Mode::NonTransparent;
        QNEngineTarget target;
        std::optional<QString> user;
        std::optional<QString> password;
        bool anonymize = false;
        // Names the hop in failure reasons: "at hop 2 of 2 (HTTP "office" 10.0.0.3:3128)".
        QString hopLabel;
    };

    explicit QNHTTPProxyStream(Settings settings);

    // Bytes the client sent; what the proxy should receive now is appended to toProxy.
    Status fromClient(QByteArrayView bytes, QByteArray* toProxy);
    // Bytes the proxy sent; what the client should receive now is appended to toClient. While the proxy
    // answers a CONNECT, the client bytes held back meanwhile are appended to toProxy once it agrees.
    Status fromProxy(QByteArrayView bytes, QByteArray* toClient, QByteArray* toProxy);
    // After Failed: "at hop 1 of 1 (HTTP "office" 10.0.0.3:3128): CONNECT refused (HTTP 403 Forbidden)".
    QString failureReason() const;
    // From now on every byte passes unchanged in both directions.
    bool isPassThrough() const;

private:
    enum class State {
        First,
        Head,
        Body,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        Trailer,
        AwaitConnect,
        PassThrough,
        Failed
    };

    Status fail(const QString& reason);
    // One step over _input; false when it needs more bytes (or has failed).
    bool step(QByteArray* toProxy);
    bool stepHead(QByteArray* toProxy);
    bool stepBody(QByteArray* toProxy, State next);
    bool stepChunkLine(QByteArray* toProxy);
    bool stepChunkDataEnd(QByteArray* toProxy);
    bool notHTTP(QByteArray* toProxy);
    bool rewriteHead(QByteArrayView head, QByteArray* toProxy);
    void endOfMessage();
    QByteArray rewrittenTarget(QByteArrayView method, QByteArrayView target, QByteArrayView host) const;
    // What the absolute URI names: the destination's name when known, else the client's Host header when
    // it agrees with the destination's port, else the address.
    QByteArray authority(QByteArrayView host) const;

    Settings _settings;
    State _state = State::First;
    QByteArray _input;
    qsizetype _scanResume = 0;
    quint64 _remaining = 0;
    bool _passThroughAfterMessage = false;
    QByteArray _pending; // client bytes held while a CONNECT is answered
    QByteArray _reply;   // the proxy's answer to that CONNECT so far
    QString _failure;
};

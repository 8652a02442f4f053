#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The rest of a connection whose last hop is a plain-HTTP proxy: the client's requests are rewritten for
// the proxy (absolute-URI form, credentials, identifying headers removed) or passed through as they are.
// Pure: bytes in, bytes out.
class QNHTTPProxyStream {
public:
    enum class Status { Continue, Failed };

    virtual ~QNHTTPProxyStream() = default;

    // Bytes the client sent; what the proxy should receive now is appended to toProxy.
    virtual Status fromClient(QByteArrayView bytes, QByteArray* toProxy) = 0;
    // Bytes the proxy sent; what the client should receive now is appended to toClient.
    virtual Status fromProxy(QByteArrayView bytes, QByteArray* toClient) = 0;
    virtual QString failureReason() const = 0;
};

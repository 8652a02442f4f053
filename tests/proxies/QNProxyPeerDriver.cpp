#include "QNProxyPeerDriver.h"

#include "engine/QNHTTPHead.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kTimeoutMilliseconds = 20000;

int connectLoopback(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

quint16 qnFreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool qnIsListening(quint16 port) {
    const int fd = connectLoopback(port);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd >= 0;
}

QNProxyPeerDriver::QNProxyPeerDriver(QList<QNDecodedProxy> hops, QNEngineTarget target)
    : _handshake(std::move(hops), std::move(target)) {}

QNProxyPeerDriver::~QNProxyPeerDriver() {
    if (_socket >= 0) {
        ::close(_socket);
    }
}

bool QNProxyPeerDriver::send(const QByteArray& bytes) {
    qsizetype offset = 0;
    while (offset < bytes.size()) {
        const ssize_t sent = ::send(_socket, bytes.constData() + offset, size_t(bytes.size() - offset), MSG_NOSIGNAL);
        if (sent <= 0) {
            _failure = QStringLiteral("send failed: %1").arg(errno);
            return false;
        }
        offset += sent;
    }
    return true;
}

bool QNProxyPeerDriver::receive(QByteArray* bytes) {
    pollfd ready{_socket, POLLIN, 0};
    if (::poll(&ready, 1, kTimeoutMilliseconds) != 1) {
        _failure = QStringLiteral("the peer did not answer");
        return false;
    }
    char buffer[16384];
    const ssize_t count = ::recv(_socket, buffer, sizeof(buffer), 0);
    if (count <= 0) {
        _failure = QStringLiteral("the peer closed the connection");
        return false;
    }
    bytes->append(buffer, count);
    return true;
}

bool QNProxyPeerDriver::connect() {
    const std::optional<QNEngineTarget> first = _handshake.firstHop();
    if (!first) {
        _failure = _handshake.failureReason();
        return false;
    }
    _socket = connectLoopback(first->port);
    if (_socket < 0) {
        _handshake.fail(QStringLiteral("connection refused"));
        _failure = _handshake.failureReason();
        return false;
    }
    QNProxyHandshake::Status status = _handshake.start();
    while (true) {
        if (!send(_handshake.takeOutput())) {
            return false;
        }
        if (status != QNProxyHandshake::Status::Continue) {
            break;
        }
        QByteArray bytes;
        if (!receive(&bytes)) {
            status = _handshake.fail(_failure);
            break;
        }
        status = _handshake.feed(bytes);
    }
    if (status != QNProxyHandshake::Status::Done) {
        _failure = _handshake.failureReason();
        return false;
    }
    _received = _handshake.takeLeftover();
    _stream = _handshake.takeStream();
    return true;
}

QByteArray QNProxyPeerDriver::exchange(const QByteArray& request) {
    QByteArray toProxy;
    if (_stream && _stream->fromClient(request, &toProxy) == QNHTTPProxyStream::Status::Failed) {
        _failure = _stream->failureReason();
        return {};
    }
    if (!send(_stream ? toProxy : request)) {
        return {};
    }
    // Until the response's head and the body it announces are in.
    while (true) {
        qsizetype resume = 0;
        const qsizetype headEnd = QNHTTPHead::headEnd(_received, &resume);
        if (headEnd > 0) {
            qsizetype length = 0;
            for (QByteArrayView line : QNHTTPHead::lines(QByteArrayView(_received).first(headEnd))) {
                if (QNHTTPHead::hasName(line, "Content-Length")) {
                    length = QNHTTPHead::value(line).toLongLong();
                }
            }
            if (_received.size() >= headEnd + length) {
                const QByteArray body = _received.sliced(headEnd, length);
                _received.remove(0, headEnd + length);
                return body;
            }
        }
        QByteArray bytes;
        if (!receive(&bytes)) {
            return {};
        }
        QByteArray toClient;
        if (_stream) {
            toProxy.clear();
            if (_stream->fromProxy(bytes, &toClient, &toProxy) == QNHTTPProxyStream::Status::Failed) {
                _failure = _stream->failureReason();
                return {};
            }
            if (!toProxy.isEmpty() && !send(toProxy)) {
                return {};
            }
        } else {
            toClient = bytes;
        }
        _received += toClient;
    }
}

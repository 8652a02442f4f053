#include "QNTunnelTestSupport.h"

#include "model/QNProxy.h"
#include "support/QNTestSSHServer.h"
#include "support/QNTestWait.h"

#include <QDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <thread>

void QNRecordingTunnelDelegate::sshTunnelServerConnected(QNSSHTunnelServer*) {
    ++connectedCount;
}

void QNRecordingTunnelDelegate::sshTunnelServerError(QNSSHTunnelServer* server, const QString& error) {
    errors << error;
    if (onError) {
        onError(server, error);
    }
}

void QNRecordingTunnelDelegate::sshTunnelServerLog(QNSSHTunnelServer*, const QString& log) {
    logs << log;
}

bool QNRecordingTunnelDelegate::waitForConnected(int count) {
    return qnWaitUntil([&] { return connectedCount >= count || !errors.isEmpty(); }) && connectedCount >= count;
}

bool QNRecordingTunnelDelegate::waitForErrors(int count) {
    return qnWaitUntil([&] { return errors.size() >= count; });
}

int QNRecordingTunnelDelegate::logCount(const QString& suffix) const {
    int count = 0;
    for (const QString& line : logs) {
        count += line.endsWith(suffix) ? 1 : 0;
    }
    return count;
}

bool QNRecordingTunnelDelegate::waitForLog(const QString& suffix, int count) {
    return qnWaitUntil([&] { return logCount(suffix) >= count; });
}

std::shared_ptr<QNProxy> qnTunnelProxy(const QNTestSSHServer& sshd, const QByteArray& clientKey,
                                       const QString& clientKeyPassphrase) {
    auto proxy = QNProxy::proxy();
    proxy->setType(QNProxyTypeSSHTunnel);
    proxy->setHost(QStringLiteral("127.0.0.1"));
    proxy->setPort(sshd.port());
    proxy->setUsername(sshd.user());
    proxy->setClientKey(clientKey);
    proxy->setClientKeyPassphrase(clientKeyPassphrase);
    return proxy;
}

QNTestClientSocket::QNTestClientSocket(quint16 port) {
    _socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{20, 0};
    setsockopt(_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(_socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    const int noDelay = 1;
    setsockopt(_socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    _connected = ::connect(_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

QNTestClientSocket::~QNTestClientSocket() {
    close(_socket);
}

bool QNTestClientSocket::send(const QByteArray& bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(_socket, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (count <= 0) {
            return false;
        }
        sent += count;
    }
    return true;
}

void QNTestClientSocket::shutdownWrite() {
    shutdown(_socket, SHUT_WR);
}

QByteArray QNTestClientSocket::read(qsizetype count) {
    QByteArray bytes;
    char buffer[65536];
    while (bytes.size() < count) {
        const ssize_t got = recv(_socket, buffer, size_t(qMin<qsizetype>(count - bytes.size(), sizeof(buffer))), 0);
        if (got <= 0) {
            break;
        }
        bytes.append(buffer, got);
    }
    return bytes;
}

bool QNTestClientSocket::drain(QByteArray* bytes) {
    char buffer[65536];
    ssize_t got = 0;
    while ((got = recv(_socket, buffer, sizeof(buffer), 0)) > 0) {
        if (bytes) {
            bytes->append(buffer, got);
        }
    }
    _ended = got == 0 || errno == ECONNRESET;
    return _ended;
}

QByteArray qnSOCKS5Connect(quint16 port) {
    return QByteArray::fromHex("050100"
                               "050100017f000001") +
           char(port >> 8) + char(port & 0xFF);
}

QByteArray qnSOCKS5Granted(quint16 port) {
    // The reply echoes the requested address and port.
    return QByteArray::fromHex("0500"
                               "050000017f000001") +
           char(port >> 8) + char(port & 0xFF);
}

QByteArray qnSOCKS5Echo(quint16 tunnelPort, quint16 echoPort, const QByteArray& payload) {
    QNTestClientSocket client(tunnelPort);
    const QByteArray granted = qnSOCKS5Granted(echoPort);
    if (!client.isConnected() || !client.send(qnSOCKS5Connect(echoPort)) || client.read(granted.size()) != granted) {
        return {};
    }
    // Write and read at once, or a large payload would fill every buffer on the way and stall.
    std::thread writer([&] {
        client.send(payload);
        client.shutdownWrite();
    });
    const QByteArray echo = client.readAll();
    writer.join();
    return client.ended() ? echo : QByteArray();
}

int qnOpenDescriptorCount() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

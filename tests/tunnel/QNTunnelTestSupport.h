#pragma once

#include "tunnel/QNSSHTunnelServerDelegate.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QNProxy;
class QNTestSSHServer;

// Records what a tunnel server reports, in order; a test may also act inside a report.
class QNRecordingTunnelDelegate : public QNSSHTunnelServerDelegate {
public:
    void sshTunnelServerConnected(QNSSHTunnelServer* server) override;
    void sshTunnelServerError(QNSSHTunnelServer* server, const QString& error) override;
    void sshTunnelServerLog(QNSSHTunnelServer* server, const QString& log) override;

    int connectedCount = 0;
    QStringList errors;
    QStringList logs;
    std::function<void(QNSSHTunnelServer*, const QString&)> onError;

    bool waitForConnected(int count = 1);
    bool waitForErrors(int count = 1);
    bool waitForLog(const QString& suffix, int count = 1);
    int logCount(const QString& suffix) const;
};

// An SSH-tunnel proxy for the fixture's sshd and user.
std::shared_ptr<QNProxy> qnTunnelProxy(const QNTestSSHServer& sshd, const QByteArray& clientKey = QByteArray(),
                                       const QString& clientKeyPassphrase = QString());

// A blocking client socket to 127.0.0.1 with generous receive and send time-outs.
class QNTestClientSocket {
public:
    explicit QNTestClientSocket(quint16 port);
    ~QNTestClientSocket();
    QNTestClientSocket(const QNTestClientSocket&) = delete;
    QNTestClientSocket& operator=(const QNTestClientSocket&) = delete;

    bool isConnected() const { return _connected; }
    bool send(const QByteArray& bytes);
    void shutdownWrite();
    // Exactly count bytes, or fewer when the peer ended or went quiet for the time-out.
    QByteArray read(qsizetype count);
    // Everything until the peer ends the connection (or resets it, or goes quiet for the time-out).
    QByteArray readAll() {
        QByteArray bytes;
        drain(&bytes);
        return bytes;
    }
    // True once the peer has ended or reset the connection; what it sent until then is dropped.
    bool waitForEnd() { return drain(nullptr); }
    // Whether the last read reached the peer's end rather than the time-out.
    bool ended() const { return _ended; }

private:
    bool drain(QByteArray* bytes);

    int _socket = -1;
    bool _connected = false;
    bool _ended = false;
};

// A SOCKS 5 greeting and a request for 127.0.0.1:port, to send in one packet, and the tunnel's two replies
// to them once the channel is open.
QByteArray qnSOCKS5Connect(quint16 port);
QByteArray qnSOCKS5Granted(quint16 port);

// SOCKS 5 to 127.0.0.1:port through a tunnel: greeting and request in one packet, then the payload; the
// payload's echo once the far side has ended. Empty when any step failed or the end did not come. Safe on
// any thread.
QByteArray qnSOCKS5Echo(quint16 tunnelPort, quint16 echoPort, const QByteArray& payload);

// The descriptors this process holds right now.
int qnOpenDescriptorCount();

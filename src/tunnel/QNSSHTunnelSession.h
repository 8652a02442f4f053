#pragma once

#include <QString>

#include <libssh/libssh.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QNProxy;
class QNSSHTunnelConnection;
class QNSSHTunnelServer;

// One SSH tunnel: a listener on 127.0.0.1 that SOCKS clients connect to, one SSH connection to the proxy's
// server, and a thread of its own that connects, authenticates and then serves every client through
// direct-tcpip channels. The main thread creates, starts and stops it; the session thread reports back only
// through queued calls, so it never waits for the main thread.
class QNSSHTunnelSession : public std::enable_shared_from_this<QNSSHTunnelSession> {
public:
    static std::shared_ptr<QNSSHTunnelSession>
    sshTunnelSessionWithProxy(const std::shared_ptr<QNProxy>& proxy, quint32 verbosity,
                              const std::weak_ptr<QNSSHTunnelServer>& server);
    QNSSHTunnelSession(const std::shared_ptr<QNProxy>& proxy, quint32 verbosity,
                       const std::weak_ptr<QNSSHTunnelServer>& server);
    // Stops the thread if it still runs.
    ~QNSSHTunnelSession();
    QNSSHTunnelSession(const QNSSHTunnelSession&) = delete;
    QNSSHTunnelSession& operator=(const QNSSHTunnelSession&) = delete;

    // Main thread.
    // Binds the listener on 127.0.0.1 and a port the system picks; 0 when that fails.
    quint16 createServerSocket();
    void start();
    // Asks the thread to finish, waits for it, then delivers what it still had to say.
    void stop();

    quint16 port() const { return _port; }
    const std::shared_ptr<QNProxy>& proxy() const { return _proxy; }
    bool connected() const { return _connected.load(); }
    quint32 verbosity() const { return _verbosity; }

    // Session thread.
    ssh_session session() const { return _session; }
    // Re-arms the keep-alive: the next one goes out an interval after the last traffic.
    void updateAlive();
    void aliveTimer();
    // A connection's channel had data, an end or a close delivered by libssh. That may happen inside a
    // libssh call made for another connection, after this one's turn: the session then serves another round.
    void noteChannelEvent() { ++_channelEvents; }
    // Hand a text to the main thread, where it reaches the server prefixed with the proxy's summary.
    void error(const QString& text);
    void log(const QString& text);

    // Main thread: the receiving ends of the messages above.
    void errorMain(const QString& text);
    void logMain(const QString& text);
    void sessionConnect();

private:
    void run();
    bool connect();
    bool setOptions();
    bool checkServerKey();
    void serve();
    void disconnect();
    int pollTimeout() const;
    void pumpSSH();
    void acceptClients();
    bool serviceConnections();
    bool channelWorkArrivedSince(quint64 events) const;
    void loadServerKey();
    void endConnection(QNSSHTunnelConnection* connection);
    void wake();
    void post(std::function<void(QNSSHTunnelSession&)> message);
    QString messageLine(const QString& text) const;

    std::shared_ptr<QNProxy> _proxy;
    quint16 _port = 0;
    std::vector<std::unique_ptr<QNSSHTunnelConnection>> _connections;
    quint64 _channelEvents = 0;
    std::thread _thread;
    int _serverSocket = -1;
    int _wakeFD = -1;
    std::weak_ptr<QNSSHTunnelServer> _server;
    std::atomic<bool> _quit{false};
    ssh_session _session = nullptr;
    ssh_event _event = nullptr;
    bool _keepAlive = false;
    std::chrono::steady_clock::time_point _aliveDue;
    bool _accepting = false;
    std::chrono::steady_clock::time_point _acceptPausedUntil;
    quint32 _verbosity;
    std::atomic<bool> _connected{false};
    QByteArray _serverKeyDigest;
    quint32 _serverKeyType = 0;
};

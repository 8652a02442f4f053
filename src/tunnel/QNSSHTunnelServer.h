#pragma once

#include <QString>

#include <memory>
#include <vector>

class QNProxy;
class QNSSHTunnelServerDelegate;
class QNSSHTunnelSession;

// The one entry point to SSH tunnels: creates a session with its local listener for each SSH-tunnel proxy,
// starts them all at once, stops them all at once, and hands their reports to the delegate, telling it
// once per start when every tunnel is up. Main thread only; owned through a shared pointer so that it can
// be released from inside its own delegate calls.
class QNSSHTunnelServer : public std::enable_shared_from_this<QNSSHTunnelServer> {
public:
    // Process-wide set-up and tear-down of libssh, each called exactly once: before the first tunnel
    // and after the last.
    static void init();
    static void destroy();

    // The delegate is not owned and must outlive the server's use.
    static std::shared_ptr<QNSSHTunnelServer> tunnelServerWithDelegate(QNSSHTunnelServerDelegate* delegate,
                                                                       quint32 verbosity);
    QNSSHTunnelServer(QNSSHTunnelServerDelegate* delegate, quint32 verbosity);
    ~QNSSHTunnelServer();
    QNSSHTunnelServer(const QNSSHTunnelServer&) = delete;
    QNSSHTunnelServer& operator=(const QNSSHTunnelServer&) = delete;

    // One tunnel for a copy of the proxy; the port of its listener, or 0 (reported to the delegate before
    // this returns).
    quint16 createTunnel(const QNProxy& proxy);
    void start();
    // Stops every session, waiting for each thread; what they still had to say reaches the delegate
    // meanwhile. The server is empty afterwards and can create tunnels again.
    void stop();

    void sessionConnect(const std::shared_ptr<QNSSHTunnelSession>& session);
    void sessionError(const std::shared_ptr<QNSSHTunnelSession>& session, const QString& error);
    void sessionLog(const std::shared_ptr<QNSSHTunnelSession>& session, const QString& log);

    const std::vector<std::shared_ptr<QNSSHTunnelSession>>& sessions() const { return _sessions; }
    quint32 verbosity() const { return _verbosity; }
    void setVerbosity(quint32 verbosity) { _verbosity = verbosity; }

private:
    std::vector<std::shared_ptr<QNSSHTunnelSession>> _sessions;
    quint32 _verbosity;
    bool _connected = false;
    QNSSHTunnelServerDelegate* _delegate;
};

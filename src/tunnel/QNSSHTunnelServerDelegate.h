#pragma once

#include <QString>

class QNSSHTunnelServer;

// How SSH tunnels report to their owner, always on the main thread. The owner may stop and release the
// server from inside any of these calls.
class QNSSHTunnelServerDelegate {
public:
    virtual ~QNSSHTunnelServerDelegate() = default;
    // Every session of the server has connected and authenticated; once per start.
    virtual void sshTunnelServerConnected(QNSSHTunnelServer* server) = 0;
    // A session or the server failed; the text is a complete line for the user.
    virtual void sshTunnelServerError(QNSSHTunnelServer* server, const QString& error) = 0;
    // A line for the activity log.
    virtual void sshTunnelServerLog(QNSSHTunnelServer* server, const QString& log) = 0;
};

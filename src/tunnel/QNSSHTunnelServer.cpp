#include "tunnel/QNSSHTunnelServer.h"

#include "model/QNProxy.h"
#include "tunnel/QNSSHTunnelServerDelegate.h"
#include "tunnel/QNSSHTunnelSession.h"
#include "util/QNStrings.h"

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <algorithm>

namespace {
constexpr size_t kSessionCapacity = 5;
}

void QNSSHTunnelServer::init() {
    // libssh locks with pthreads; the callbacks must be in place before the library is initialised.
    ssh_threads_set_callbacks(ssh_threads_get_pthread());
    ssh_init();
}

void QNSSHTunnelServer::destroy() {
    ssh_finalize();
}

std::shared_ptr<QNSSHTunnelServer> QNSSHTunnelServer::tunnelServerWithDelegate(QNSSHTunnelServerDelegate* delegate,
                                                                               quint32 verbosity) {
    return std::make_shared<QNSSHTunnelServer>(delegate, verbosity);
}

QNSSHTunnelServer::QNSSHTunnelServer(QNSSHTunnelServerDelegate* delegate, quint32 verbosity)
    : _verbosity(verbosity)
    , _delegate(delegate) {}

QNSSHTunnelServer::~QNSSHTunnelServer() {
    // Reports that arrive now find no server to hand them to and are dropped.
    stop();
}

quint16 QNSSHTunnelServer::createTunnel(const QNProxy& proxy) {
    // The delegate may release the server while it hears of a failure below.
    const auto keep = weak_from_this().lock();
    if (_sessions.empty()) {
        _sessions.reserve(kSessionCapacity);
    }
    const auto session = QNSSHTunnelSession::sshTunnelSessionWithProxy(proxy.copy(), _verbosity, weak_from_this());
    const quint16 port = session->createServerSocket();
    _sessions.push_back(session);
    if (port == 0) {
        sessionError(session,
                     QStringLiteral("%1 - %2").arg(session->proxy()->summaryWithResourceBundle(QNStrings::mainBundle()),
                                                   QNLocalizedString(QStringLiteral("serverSocketPortError"))));
    }
    return port;
}

void QNSSHTunnelServer::start() {
    // A copy: a delegate call during a start may change the list.
    const auto sessions = _sessions;
    for (const auto& session : sessions) {
        session->start();
    }
}

void QNSSHTunnelServer::stop() {
    const auto keep = weak_from_this().lock();
    const auto sessions = _sessions;
    for (const auto& session : sessions) {
        session->stop();
    }
    _sessions.clear();
    _connected = false;
}

void QNSSHTunnelServer::sessionConnect(const std::shared_ptr<QNSSHTunnelSession>&) {
    if (_sessions.empty() || _connected) {
        return;
    }
    const bool allConnected =
        std::all_of(_sessions.begin(), _sessions.end(), [](const auto& session) { return session->connected(); });
    if (allConnected) {
        _connected = true;
        _delegate->sshTunnelServerConnected(this);
    }
}

void QNSSHTunnelServer::sessionError(const std::shared_ptr<QNSSHTunnelSession>&, const QString& error) {
    _delegate->sshTunnelServerError(this, error);
}

void QNSSHTunnelServer::sessionLog(const std::shared_ptr<QNSSHTunnelSession>&, const QString& log) {
    _delegate->sshTunnelServerLog(this, log);
}

// The controller's side of the SSH tunnels: keeping the running tunnels in step with the active profile and
// deciding what a tunnel failure does.

#include "app/QNApplication.h"

#include "app/QNAlertRecorder.h"

#include "app/QNActivityLog.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "tunnel/QNSSHTunnelServer.h"
#include "util/QNAlertPresenter.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QScopeGuard>

#include <utility>

namespace {

// Every place of the profile that gets a tunnel, in the order they are created: the proxy list, with each
// chain walked in its own order. A proxy standing in two places is listed twice.
QList<std::shared_ptr<QNProxy>> tunnelProxies(const QNProfile& profile) {
    QList<std::shared_ptr<QNProxy>> places;
    const auto take = [&places](const std::shared_ptr<QNProxy>& proxy) {
        if (proxy && proxy->type() == QNProxyTypeSSHTunnel) {
            places.append(proxy);
        }
    };
    for (const std::shared_ptr<QNProxyItem>& item : profile.proxies()) {
        if (!item) {
            continue;
        }
        if (item->kind() == QNProxyItemKindProxy) {
            take(std::dynamic_pointer_cast<QNProxy>(item));
        } else if (item->kind() == QNProxyItemKindChain) {
            if (const auto chain = std::dynamic_pointer_cast<QNProxyChain>(item)) {
                for (const std::shared_ptr<QNProxy>& member : chain->proxies()) {
                    take(member);
                }
            }
        }
    }
    return places;
}

} // namespace

void QNApplication::updateTunnels(qint64 identifier) {
    _stoppingTunnels = true;
    stopTunnels();
    // After the library's tear-down nothing may start again (an enableProfile that resumes after a quit).
    const std::shared_ptr<QNProfile> profile =
        identifier == -1 || !_tunnelLibraryReady ? nullptr : profileWithIdentifier(identifier);
    if (!profile) {
        return;
    }
    const QList<std::shared_ptr<QNProxy>> places = tunnelProxies(*profile);
    // A place the walk does not reach must not be compiled with the port of an earlier switch-on, which by
    // now may belong to anyone.
    for (const std::shared_ptr<QNProxy>& proxy : places) {
        proxy->setLocalTunnelPort(0);
    }
    for (const std::shared_ptr<QNProxy>& proxy : places) {
        if (!_sshServer) {
            _sshServer = QNSSHTunnelServer::tunnelServerWithDelegate(this, _verbosity);
        }
        const quint16 port = _sshServer->createTunnel(*proxy);
        proxy->setLocalTunnelPort(port);
        if (port == 0) {
            // The server has reported it (ignored: we are still stopping); it is not started.
            return;
        }
    }
    if (_sshServer) {
        _stoppingTunnels = false;
        _sshServer->start();
    }
}

void QNApplication::stopTunnels() {
    // Released before it stops: what its sessions still report while they end is no longer ours to act on.
    if (const std::shared_ptr<QNSSHTunnelServer> server = std::exchange(_sshServer, nullptr)) {
        server->stop();
    }
}

bool QNApplication::isCurrentServer(const QNSSHTunnelServer* server) const {
    return server && server == _sshServer.get();
}

void QNApplication::sshTunnelServerConnected(QNSSHTunnelServer* server) {
    if (isCurrentServer(server)) {
        _retryCount = 0;
    }
}

void QNApplication::sshTunnelServerLog(QNSSHTunnelServer*, const QString& log) {
    // A stopping server's last lines ("stopping", "stopped") belong in the log too.
    logTunnelText(log);
}

void QNApplication::sshTunnelServerError(QNSSHTunnelServer* server, const QString& error) {
    if (_stoppingTunnels || !isCurrentServer(server)) {
        return;
    }
    if (busy()) {
        // Inside a switch or another failure's alert: acting now would switch in the middle of a switch.
        // Errors of servers replaced meanwhile are dropped when the work is over.
        _pendingTunnelErrors.removeIf(
            [this](const PendingTunnelError& pending) { return pending.server.lock() != _sshServer; });
        _pendingTunnelErrors.append({server->weak_from_this(), error});
        return;
    }
    tunnelFailed(error);
}

void QNApplication::runPendingTunnelErrors() {
    while (!busy() && !_pendingTunnelErrors.isEmpty()) {
        const PendingTunnelError pending = _pendingTunnelErrors.takeFirst();
        const std::shared_ptr<QNSSHTunnelServer> server = pending.server.lock();
        if (!_stoppingTunnels && server && server == _sshServer) {
            tunnelFailed(pending.error);
        }
    }
}

void QNApplication::tunnelFailed(const QString& error) {
    _handlingTunnelError = true;
    const auto finished = qScopeGuard([this] {
        _handlingTunnelError = false;
        scheduleDeferredWork();
    });
    if (_displayedError) {
        // These tunnels' failure has been shown and the profile kept on: more of it only reaches the log.
        // Restarting here would let each failing tunnel restart the others and raise the alert again, forever.
        logTunnelText(error);
        return;
    }
    if (_retryCount < kQNApplicationRetryCount) {
        ++_retryCount;
        logTunnelText(error);
        // Off and on again: every tunnel is made anew, and the profile recompiled with the new ports and resent.
        const qint64 identifier = _activeProfileIdentifier;
        enableProfile(-1, true);
        enableProfile(identifier, true);
        return;
    }
    _retryCount = 0;
    const std::shared_ptr<QNSSHTunnelServer> failed = _sshServer;
    _displayedError = true;
    QNAlert alert;
    alert.messageText = _parts.strings->localizedString(QStringLiteral("failed"));
    alert.informativeText = error;
    alert.defaultButton = _parts.strings->localizedString(QStringLiteral("ok"));
    _alerts->runModal(alert);
    // While the alert was up the user may have switched profiles or quit: the failed tunnels are gone then,
    // and switching off now would undo the user's choice.
    if (_terminated || _sshServer != failed) {
        return;
    }
    loadPreferences();
    if (!boolPreference(kQNUserDefaultSafetyOverride, false)) {
        enableProfile(-1, true);
    }
}

void QNApplication::logTunnelText(const QString& text) {
    if (_logging) {
        _activityLog->appendApplicationLogString(text, false);
    }
}

void QNApplication::destroyTunnelLibrary() {
    if (!_tunnelLibraryReady) {
        return;
    }
    // Every session thread has ended by now: stopping waits for each.
    _stoppingTunnels = true;
    stopTunnels();
    _pendingTunnelErrors.clear();
    _tunnelLibraryReady = false;
    QNSSHTunnelServer::destroy();
}

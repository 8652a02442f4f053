#include "settings/QNStatisticsReader.h"

#include "util/QNConstants.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

QNStatisticsReader::QNStatisticsReader(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , _bus(bus) {}

void QNStatisticsReader::fetch() {
    // One question at a time: a hung agent must not pile calls up.
    if (_waiting) {
        return;
    }
    if (!_bus.isConnected()) {
        emit unavailable();
        return;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(
        kQNApplicationServerName, QStringLiteral("/com/fernhollowsoftware/quillon"),
        QStringLiteral("com.fernhollowsoftware.quillon.Statistics"), QStringLiteral("statisticsWithConnections"));
    _waiting = true;
    auto* watcher = new QDBusPendingCallWatcher(_bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        _waiting = false;
        const QDBusPendingReply<qint32, quint64, quint64> reply = *finished;
        if (reply.isError()) {
            emit unavailable();
            return;
        }
        emit statisticsArrived(reply.argumentAt<0>(), reply.argumentAt<1>(), reply.argumentAt<2>());
    });
}

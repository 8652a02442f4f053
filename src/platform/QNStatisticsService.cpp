#include "platform/QNStatisticsService.h"

#include "platform/QNStatisticsProtocol.h"
#include "stateadaptor.h"
#include "statisticsadaptor.h"

#include <QDBusConnectionInterface>
#include <QDBusError>

#include <utility>

QNStatisticsService::QNStatisticsService(QNStatisticsProtocol* provider, QObject* parent)
    : QNStatisticsService(provider, QDBusConnection::sessionBus(), kQNApplicationServerName, parent) {}

QNStatisticsService::QNStatisticsService(QNStatisticsProtocol* provider, const QDBusConnection& connection,
                                         QString serviceName, QObject* parent)
    : QObject(parent)
    , _provider(provider)
    , _connection(connection)
    , _serviceName(std::move(serviceName)) {
    // Owned by this object through the QObject tree; exported together with it.
    new StatisticsAdaptor(this);
    new StateAdaptor(this);
}

QNStatisticsService::~QNStatisticsService() {
    stopServer();
}

bool QNStatisticsService::startServer() {
    if (_serving) {
        return true;
    }
    QDBusConnectionInterface* bus = _connection.isConnected() ? _connection.interface() : nullptr;
    if (bus == nullptr) {
        return false;
    }
    // The name decides whether we run at all, so it is taken before anything is exported.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
        _serviceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        return false;
    }
    if (!_connection.registerObject(QString::fromLatin1(kObjectPath), this, QDBusConnection::ExportAdaptors)) {
        bus->unregisterService(_serviceName);
        return false;
    }
    _serving = true;
    return true;
}

void QNStatisticsService::stopServer() {
    if (!_serving) {
        return;
    }
    _serving = false;
    _connection.unregisterObject(QString::fromLatin1(kObjectPath));
    if (QDBusConnectionInterface* bus = _connection.interface()) {
        bus->unregisterService(_serviceName);
    }
}

int QNStatisticsService::statisticsWithConnections(qulonglong& dataSent, qulonglong& dataReceived) {
    qint32 connections = 0;
    quint64 sent = 0;
    quint64 received = 0;
    if (_provider == nullptr || !_provider->statisticsWithConnections(&connections, &sent, &received)) {
        // Zeros would read as real figures; tell the caller there are none.
        if (calledFromDBus()) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("statistics are not available"));
        }
        dataSent = 0;
        dataReceived = 0;
        return 0;
    }
    dataSent = sent;
    dataReceived = received;
    return connections;
}

void QNStatisticsService::setState(const QNAgentState& state) {
    if (state == _state) {
        return;
    }
    _state = state;
    emit stateChanged();
}

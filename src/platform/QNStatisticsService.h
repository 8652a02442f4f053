#pragma once

#include "util/QNConstants.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>

class QNStatisticsProtocol;

// Vends the agent's live statistics on the session bus: the object /com/fernhollowsoftware/quillon with
// the interface com.fernhollowsoftware.quillon.Statistics, under the well-known name
// com.fernhollowsoftware.quillon. Owning that name is also what keeps the agent single-instance.
//
// Other objects of ours may use the same path on the same connection only to emit signals (a signal
// needs no registered object); this class is the one that registers the path.
class QNStatisticsService : public QObject, protected QDBusContext {
    Q_OBJECT

public:
    static constexpr const char* kObjectPath = "/com/fernhollowsoftware/quillon";
    static constexpr const char* kInterfaceName = "com.fernhollowsoftware.quillon.Statistics";

    // The provider must outlive the service. Tests pass their own connection and name so that they
    // never meet an agent on the same bus.
    explicit QNStatisticsService(QNStatisticsProtocol* provider, QObject* parent = nullptr);
    QNStatisticsService(QNStatisticsProtocol* provider, const QDBusConnection& connection, QString serviceName,
                        QObject* parent = nullptr);
    ~QNStatisticsService() override;

    // Takes the well-known name first, then registers the object. False, with nothing changed, when the
    // bus cannot be reached or someone else owns the name; true when already serving.
    bool startServer();
    // Drops the object and the name.
    void stopServer();
    bool isServing() const { return _serving; }
    QString serviceName() const { return _serviceName; }

    // The remote call, reached through the generated adaptor: the connection count is the reply's first
    // value, the byte counters its second and third.
    int statisticsWithConnections(qulonglong& dataSent, qulonglong& dataReceived);

private:
    QNStatisticsProtocol* _provider;
    QDBusConnection _connection;
    QString _serviceName;
    bool _serving = false;
};

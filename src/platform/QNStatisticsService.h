#pragma once

#include "platform/QNAgentState.h"
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
// The same object also carries the agent's state (com.fernhollowsoftware.quillon.State): properties read by the
// generated adaptor, and a signal whenever they change.
//
// Other objects of ours may use the same path on the same connection only to emit signals (a signal
// needs no registered object); this class is the one that registers the path.
class QNStatisticsService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_PROPERTY(qlonglong activeProfileIdentifier READ activeProfileIdentifier)
    Q_PROPERTY(QString activeProfileName READ activeProfileName)
    Q_PROPERTY(bool engineConnected READ engineConnected)
    Q_PROPERTY(QString lastAlert READ lastAlert)
    Q_PROPERTY(uint alerts READ alerts)
    Q_PROPERTY(uint activations READ activations)

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

    // Emits stateChanged when anything differs from what was offered before.
    void setState(const QNAgentState& state);
    const QNAgentState& state() const { return _state; }
    qlonglong activeProfileIdentifier() const { return _state.activeProfileIdentifier; }
    QString activeProfileName() const { return _state.activeProfileName; }
    bool engineConnected() const { return _state.engineConnected; }
    QString lastAlert() const { return _state.lastAlert; }
    uint alerts() const { return _state.alerts; }
    uint activations() const { return _state.activations; }

signals:
    void stateChanged();

private:
    QNStatisticsProtocol* _provider;
    QDBusConnection _connection;
    QString _serviceName;
    bool _serving = false;
    QNAgentState _state;
};

#pragma once

#include "engine/QNRelayConnection.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

class QSocketNotifier;

// The relay: one listening port per intercepted user, on 127.0.0.1 and ::1, which interception redirects
// that user's TCP connections to. Each accepted connection is routed by the user's profile and relayed
// by a QNRelayConnection. All sockets live in one epoll set, which the Qt event loop watches as one
// descriptor, so the engine runs on one thread without locks.
class QNRelay : public QObject {
    Q_OBJECT

public:
    struct Callbacks {
        // The route for a user's connection; nullopt when the user has no profile any more (reset).
        std::function<std::optional<QNRouteDecision>(quint32 uid, const QNEngineTarget& target)> route;
        std::function<void(quint32 uid, const QString& line)> log;
        // Fills in the name behind the destination when one is known; false when the address is one the
        // engine handed out for a name it no longer knows.
        std::function<bool(quint32 uid, QNEngineTarget& target)> name;
        // Finds the program that opened the client's connection, when the route depends on it, and calls done
        // with its executable (empty when unknown or not needed), at once or later on this thread.
        std::function<void(quint32 uid, int clientFd, const QNEngineTarget& target,
                           std::function<void(const QString& executable)> done)>
            identify;
        // Resolves a name to a real address, for destinations that must be reached by address.
        std::function<void(const QString& name, std::function<void(std::optional<QNEngineTarget>)> done)> resolve;
    };

    QNRelay(quint32 mark, int connectTimeoutSeconds, Callbacks callbacks, QObject* parent = nullptr);
    ~QNRelay() override;

    bool start(QString* error);
    // Opens this user's listening port (the same number on both loopback addresses), or returns the one
    // already open.
    std::optional<quint16> listen(quint32 uid, QString* error);
    // Closes the user's port; connections already relayed go on to their end.
    void stopListening(quint32 uid);
    QMap<quint32, quint16> ports() const;

    // The user's figures (zero for a user never seen); resetBytes starts the byte counts again.
    QNRelayCounters counters(quint32 uid) const;
    void resetBytes(quint32 uid);
    qsizetype connectionCount() const { return qsizetype(_connections.size()); }

private:
    struct Listener {
        quint32 uid = 0;
        quint16 port = 0;
        QNRelayConnection::Endpoint endpoints[2];
    };

    void processEvents();
    void accept(Listener& listener, int fd);
    void route(quint32 uid, int clientFd);
    void decide(quint32 uid, int clientFd, const QNEngineTarget& target);
    // A client socket put aside while something it needs is found out; the token gets it back once.
    quint64 wait(int clientFd);
    std::optional<int> stopWaiting(quint64 token);
    void relay(quint32 uid, int clientFd, const QNEngineTarget& target, QNRouteDecision decision);
    // Whether the destination's address is a stand-in for its name that the next hop cannot use.
    static bool needsRealAddress(const QNEngineTarget& target, const QNRouteDecision& decision);
    std::optional<QNEngineTarget> originalDestination(int fd) const;
    bool isOwnListener(const QNEngineTarget& target) const;
    void checkDeadlines();
    void collect();
    std::shared_ptr<QNRelayCounters> countersFor(quint32 uid);

    quint32 _mark;
    int _connectTimeoutSeconds;
    Callbacks _callbacks;
    int _epollFd = -1;
    QSocketNotifier* _notifier = nullptr;
    QTimer _deadlineTimer;
    QMap<quint32, std::shared_ptr<Listener>> _listeners;
    QMap<quint32, std::shared_ptr<QNRelayCounters>> _counters;
    std::unordered_map<QNRelayConnection*, std::unique_ptr<QNRelayConnection>> _connections;
    std::vector<QNRelayConnection*> _finished;
    // Things closed while an epoll batch may still point at them; freed once the batch is done.
    std::vector<std::shared_ptr<Listener>> _closedListeners;
    // Client sockets waiting for their program to be found or their destination's name to be resolved.
    std::map<quint64, int> _waiting;
    quint64 _nextWaiting = 1;
};

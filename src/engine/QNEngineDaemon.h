#pragma once

#include "engine/QNConnectHook.h"
#include "engine/QNControlSocketFile.h"
#include "engine/QNDNSServer.h"
#include "engine/QNEngineAgents.h"
#include "engine/QNNameTable.h"
#include "engine/QNNftTable.h"
#include "engine/QNOwnerSearch.h"
#include "engine/QNRelay.h"
#include "engine/QNRuleMatcher.h"
#include "engine/QNSocketOwner.h"
#include "kernel/QNOptionFrameReader.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>

#include <sys/types.h>

class QSocketNotifier;

// The engine: serves any number of agents on the control socket, keeps one profile per user (the user
// an agent runs as, from the socket's peer credentials), intercepts the connections of every user with a
// profile through its nftables table, and relays them by that user's rules. Each agent hears only about
// its own user: connection and byte counts, and log lines while its logging flag is set.
//
// Everything an agent sends is hostile input: a frame that cannot be framed closes that agent; a frame
// with a bad value is reported and skipped.
class QNEngineDaemon : public QObject {
    Q_OBJECT

public:
    struct Options {
        QString socketPath;
        int intervalMilliseconds = 1000;
        int connectTimeoutSeconds = 15;
        bool dump = false;
        bool verbose = false;
        // The resolver local names go to; empty for the first nameserver of /etc/resolv.conf.
        QString resolver;
        // Where the names behind addresses are kept across restarts; empty for "names" beside the socket.
        QString namesPath;
        // Find programs by searching /proc even where the connect hook would load.
        bool withoutConnectHook = false;
    };

    static constexpr quint32 kMaximumFrameLength = 16 * 1024 * 1024;
    static constexpr qsizetype kMaximumPendingOutput = 1024 * 1024;
    static constexpr int kMaximumAgents = 1024;

    explicit QNEngineDaemon(Options options, QObject* parent = nullptr);
    ~QNEngineDaemon() override;

    // Replaces a leftover table, starts the relay and listens. False with *error set otherwise.
    bool start(QString* error);
    // Removes the table, closes every socket and the socket file (when it is still ours).
    void shutdown();

private:
    struct Agent {
        int fd = -1;
        quint32 uid = 0;
        pid_t pid = 0;
        QSocketNotifier* readNotifier = nullptr;
        QSocketNotifier* writeNotifier = nullptr;
        QNOptionFrameReader input{kMaximumFrameLength};
        QByteArray output;
        bool sentOnce = false;
        QNRelayCounters lastSent;
    };
    using AgentId = QNEngineAgents::AgentId;

    bool listen(QString* error);
    void acceptAgent();
    void closeAgent(AgentId id, const QString& reason);
    void readAgent(AgentId id);
    bool handleFrames(AgentId id);
    void handleOption(AgentId id, quint32 option, const QByteArray& value);
    void handleProfileStream(AgentId id, const QByteArray& stream);
    // Makes listeners and the table follow the set of users with a profile.
    void reconcile();
    std::optional<QNRouteDecision> route(quint32 uid, const QNEngineTarget& target) const;
    // Fills in the name behind a destination; false for a fake address whose name is lost.
    bool nameTarget(QNEngineTarget& target);
    // Finds the program behind a connection when the user's rules name programs.
    void identify(quint32 uid, int clientFd, const QNEngineTarget& target, std::function<void(const QString&)> done);
    // Has the connect hook record the connections of the users whose rules name programs.
    void watchPrograms();
    void loadNames();
    void saveNames();
    void logForUser(quint32 uid, const QString& line);
    void sendStatistics();
    void queueMessage(AgentId id, quint32 type, const QByteArray& payload);
    void flushOutput(AgentId id);
    void report(const QString& text) const;
    void printDocument(const QByteArray& json) const;

    Options _options;
    QNControlSocketFile _socketFile;
    QNNftTable _table;
    QNNameTable _names;
    QNDNSServer _dns;
    std::unique_ptr<QNConnectHook> _connectHook;
    QNSocketOwner _owners;
    QNRelay _relay;
    // Declared after the relay, so it is gone, its searches ended, before the relay they report to.
    QNOwnerSearch _ownerSearch;
    QNEngineAgents _agents;
    std::map<quint32, QNRuleMatcher> _matchers;
    std::map<AgentId, Agent> _connections;
    AgentId _nextAgent = 1;
    int _listener = -1;
    QSocketNotifier* _listenerNotifier = nullptr;
    QTimer _statisticsTimer;
    QTimer _saveTimer;
    bool _tableInstalled = false;
};

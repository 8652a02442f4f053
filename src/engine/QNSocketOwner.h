#pragma once

#include "engine/QNEngineTarget.h"

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

#include <sys/types.h>

class QNConnectHook;

// Which program opened an intercepted connection. The kernel names the socket (sock_diag, by the
// connection's two endpoints as the program's socket sees them: its own address and the original
// destination). With the connect hook, the socket's cookie leads to what the hook recorded when the
// program connected. Without it, the process holding the socket is searched for among the user's
// processes in /proc, most recent owners first, then newest processes first; every socket seen on the way
// is remembered, so connections opened before a scan are found without another.
class QNSocketOwner {
public:
    static constexpr qsizetype kMaximumRemembered = 65536;

    struct Socket {
        quint64 inode = 0; // 0 once the program has closed it
        quint64 cookie = 0;
    };

    explicit QNSocketOwner(QString procRoot = QStringLiteral("/proc"));
    ~QNSocketOwner();
    QNSocketOwner(const QNSocketOwner&) = delete;
    QNSocketOwner& operator=(const QNSocketOwner&) = delete;

    // From now on the hook's records are used instead of /proc; nullptr goes back to /proc.
    void useHook(QNConnectHook* hook) { _hook = hook; }
    bool usesHook() const { return _hook != nullptr; }

    // The TCP socket going from local to remote, or nullopt.
    std::optional<Socket> socketOf(const QNEngineTarget& local, const QNEngineTarget& remote);
    // The path of the executable of the user's process that holds the socket, or nullopt.
    std::optional<QString> executableOf(quint64 inode, quint32 uid);
    // Both steps: the executable behind a connection.
    std::optional<QString> executableOf(const QNEngineTarget& local, const QNEngineTarget& remote, quint32 uid);

private:
    bool scan(pid_t pid, quint64 wanted);
    QList<pid_t> processesOf(quint32 uid) const;
    void noteOwner(pid_t pid);

    QString _procRoot;
    QNConnectHook* _hook = nullptr;
    int _netlink = -1;
    QHash<quint64, pid_t> _owners; // socket inode to the process seen holding it
    QList<pid_t> _recent;          // processes that owned connections, most recent first
};

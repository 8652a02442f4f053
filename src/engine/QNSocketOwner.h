#pragma once

#include "engine/QNEngineTarget.h"

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

#include <sys/types.h>

// Which program opened an intercepted connection. The kernel names the socket (sock_diag, by the
// connection's two endpoints as the program's socket sees them: its own address and the original
// destination); the process holding that socket is found among the user's processes in /proc, most
// recent owners first, then newest processes first. Every socket seen on the way is remembered, so
// connections opened before a scan are found without another.
class QNSocketOwner {
public:
    static constexpr qsizetype kMaximumRemembered = 65536;

    explicit QNSocketOwner(QString procRoot = QStringLiteral("/proc"));
    ~QNSocketOwner();
    QNSocketOwner(const QNSocketOwner&) = delete;
    QNSocketOwner& operator=(const QNSocketOwner&) = delete;

    // The inode of the TCP socket going from local to remote, or nullopt.
    std::optional<quint64> socketInode(const QNEngineTarget& local, const QNEngineTarget& remote);
    // The path of the executable of the user's process that holds the socket, or nullopt.
    std::optional<QString> executableOf(quint64 inode, quint32 uid);
    // Both steps: the executable behind a connection.
    std::optional<QString> executableOf(const QNEngineTarget& local, const QNEngineTarget& remote, quint32 uid);

private:
    bool scan(pid_t pid, quint64 wanted);
    QList<pid_t> processesOf(quint32 uid) const;
    void noteOwner(pid_t pid);

    QString _procRoot;
    int _netlink = -1;
    QHash<quint64, pid_t> _owners; // socket inode to the process seen holding it
    QList<pid_t> _recent;          // processes that owned connections, most recent first
};

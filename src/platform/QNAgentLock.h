#pragma once

#include <QString>

// One agent per user, whatever session bus it is on: an flock(2) on agent.lock in a folder of the user's
// own, held for the life of the process (the kernel lets go when it ends, however it ends).
class QNAgentLock {
public:
    enum class Result { Acquired, HeldByAnother, Failed };

    QNAgentLock() = default;
    ~QNAgentLock();
    QNAgentLock(const QNAgentLock&) = delete;
    QNAgentLock& operator=(const QNAgentLock&) = delete;

    // $XDG_RUNTIME_DIR/quillon; without XDG_RUNTIME_DIR, /tmp/quillon-UID.
    static QString defaultDirectoryPath();

    // Makes the folder (mode 0700) when it is missing and takes the lock on agent.lock inside it. A folder
    // that is not a plain folder of ours, closed to others, is refused: someone else could hold the lock
    // there. On HeldByAnother, *message names the holder's process when it is known; on Failed, it says why.
    Result acquire(const QString& directoryPath, QString* message);

private:
    int _fd = -1;
};

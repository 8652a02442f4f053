#pragma once

#include "engine/QNSocketOwner.h"

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <optional>

// The /proc search for a socket's owner, for when the connect hook cannot load, done on a thread of its own:
// with hundreds of processes one search takes long enough to stall every relayed connection if it ran on
// the engine's event loop. Searches run one at a time, in order, with their own QNSocketOwner.
class QNOwnerSearch {
public:
    explicit QNOwnerSearch(QString procRoot = QStringLiteral("/proc"));
    ~QNOwnerSearch();
    QNOwnerSearch(const QNOwnerSearch&) = delete;
    QNOwnerSearch& operator=(const QNOwnerSearch&) = delete;

    // Finds the executable of the user's process holding the socket, and calls done with it on the thread
    // that made this object, unless context (living on that thread) is gone by then.
    void find(quint64 inode, quint32 uid, QObject* context, std::function<void(std::optional<QString>)> done);
    // Waits until every search asked for so far has ended.
    void waitForDone();

private:
    QNSocketOwner _owners; // used on the pool's one thread only
    QObject _receiver;
    QThreadPool _pool;
};

#include "QNOwnerSearch.h"

#include <QMetaObject>
#include <QPointer>

QNOwnerSearch::QNOwnerSearch(QString procRoot)
    : _owners(std::move(procRoot)) {
    _pool.setMaxThreadCount(1);
    _pool.setExpiryTimeout(-1);
}

QNOwnerSearch::~QNOwnerSearch() {
    _pool.clear();
    _pool.waitForDone();
}

void QNOwnerSearch::find(quint64 inode, quint32 uid, QObject* context,
                         std::function<void(std::optional<QString>)> done) {
    // The answer goes to our own receiver, alive until every search has ended; whether context still lives
    // is asked there, on its own thread.
    _pool.start([this, inode, uid, context = QPointer<QObject>(context), done = std::move(done)]() mutable {
        std::optional<QString> executable = _owners.executableOf(inode, uid);
        QMetaObject::invokeMethod(
            &_receiver,
            [context = std::move(context), done = std::move(done), executable = std::move(executable)] {
                if (!context.isNull()) {
                    done(executable);
                }
            },
            Qt::QueuedConnection);
    });
}

void QNOwnerSearch::waitForDone() {
    _pool.waitForDone();
}

#include "support/QNTestWait.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

bool qnWaitUntil(const std::function<bool()>& condition, int timeoutMilliseconds) {
    const QDeadlineTimer deadline(timeoutMilliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

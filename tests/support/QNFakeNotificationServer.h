#pragma once

#include <QDBusVirtualObject>
#include <QList>
#include <QString>

#include <memory>

// A desktop notification server on the test's session bus: owns org.freedesktop.Notifications and keeps
// the summary and body of every Notify call (answered on the main thread's event loop).
class QNFakeNotificationServer {
public:
    struct Notice {
        QString summary;
        QString body;
    };

    QNFakeNotificationServer();
    ~QNFakeNotificationServer();

    bool isValid() const { return _valid; }
    const QList<Notice>& received() const { return _received; }

private:
    class Object;

    std::unique_ptr<Object> _object;
    QList<Notice> _received;
    bool _valid = false;
};

#pragma once

#include <QDBusConnection>
#include <QString>

// Desktop notifications through org.freedesktop.Notifications on the session bus. Sent only when a
// notification server owns that name right now (no bus activation of one), and never waited for.
class QNDesktopNotifier {
public:
    explicit QNDesktopNotifier(QDBusConnection bus);

    // False when no server was there or the message could not be sent.
    bool notify(const QString& summary, const QString& body) const;

private:
    QDBusConnection _bus;
};

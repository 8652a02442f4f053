#include "platform/QNDesktopNotifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

} // namespace

QNDesktopNotifier::QNDesktopNotifier(QDBusConnection bus)
    : _bus(std::move(bus)) {}

bool QNDesktopNotifier::notify(const QString& summary, const QString& body) const {
    if (!_bus.isConnected() || !_bus.interface() || !_bus.interface()->isServiceRegistered(kService).value()) {
        return false;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    message.setAutoStartService(false);
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's)
    message << QStringLiteral("Quillon") << quint32(0) << QStringLiteral("quillon") << summary << body << QStringList()
            << QVariantMap() << qint32(-1);
    return _bus.send(message);
}

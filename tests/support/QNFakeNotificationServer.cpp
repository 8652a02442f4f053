#include "support/QNFakeNotificationServer.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

class QNFakeNotificationServer::Object : public QDBusVirtualObject {
public:
    explicit Object(QNFakeNotificationServer& owner)
        : _owner(owner) {}

    QString introspect(const QString&) const override { return QString(); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        QDBusConnection bus(connection);
        const QList<QVariant> arguments = message.arguments();
        if (message.member() != QLatin1String("Notify") || arguments.size() != 8) {
            bus.send(message.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("not here")));
            return true;
        }
        _owner._received.append({arguments.at(3).toString(), arguments.at(4).toString()});
        bus.send(message.createReply(QVariant::fromValue(quint32(_owner._received.size()))));
        return true;
    }

private:
    QNFakeNotificationServer& _owner;
};

QNFakeNotificationServer::QNFakeNotificationServer()
    : _object(std::make_unique<Object>(*this)) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    _valid = bus.registerVirtualObject(kPath, _object.get()) && bus.registerService(kService);
}

QNFakeNotificationServer::~QNFakeNotificationServer() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(kService);
    bus.unregisterObject(kPath);
}

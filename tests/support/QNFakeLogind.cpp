#include "support/QNFakeLogind.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kAutoPath = QStringLiteral("/org/freedesktop/login1/session/auto");
} // namespace

class QNFakeLogind::Object : public QDBusVirtualObject {
public:
    explicit Object(QNFakeLogind& owner)
        : _owner(owner) {}

    QString introspect(const QString&) const override { return QString(); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        QDBusConnection bus(connection);
        if (message.member() == QLatin1String("GetSession") && _owner._withManager) {
            bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(_owner.sessionPath()))));
            return true;
        }
        if (message.member() == QLatin1String("Get") && message.path() == _owner.sessionPath()) {
            bus.send(message.createReply(QVariant::fromValue(QDBusVariant(bool(_owner._active)))));
            return true;
        }
        bus.send(message.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("not here")));
        return true;
    }

private:
    QNFakeLogind& _owner;
};

QNFakeLogind::QNFakeLogind(const QString& connectionName, bool withManager)
    : _connectionName(connectionName)
    , _withManager(withManager) {
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, _connectionName);
    if (!bus.isConnected()) {
        return;
    }
    // Registered from this thread (the bus gives the object a helper of its own), then moved with it.
    _object = std::make_unique<Object>(*this);
    _valid =
        bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), _object.get(), QDBusConnection::SubPath) &&
        bus.registerService(kService);
    _thread.start();
    _object->moveToThread(&_thread);
}

QNFakeLogind::~QNFakeLogind() {
    QDBusConnection bus(_connectionName);
    bus.unregisterService(kService);
    bus.unregisterObject(QStringLiteral("/org/freedesktop/login1"), QDBusConnection::UnregisterTree);
    _thread.quit();
    _thread.wait();
    QDBusConnection::disconnectFromBus(_connectionName);
}

QString QNFakeLogind::sessionPath() const {
    return _withManager ? QString::fromLatin1(kSessionPath) : kAutoPath;
}

void QNFakeLogind::announce(bool withValue) {
    QDBusMessage signal = QDBusMessage::createSignal(sessionPath(), QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    QVariantMap changed;
    QStringList invalidated;
    if (withValue) {
        changed.insert(QStringLiteral("Active"), bool(_active));
    } else {
        invalidated << QStringLiteral("Active");
    }
    signal << QStringLiteral("org.freedesktop.login1.Session") << changed << invalidated;
    QDBusConnection(_connectionName).send(signal);
}

#include "platform/QNLogindSessionMonitor.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>

namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kAutoSessionPath = QStringLiteral("/org/freedesktop/login1/session/auto");
const QString kActiveProperty = QStringLiteral("Active");
// Bounded so that a wedged logind cannot hold up start-up for the default 25 s.
constexpr int kCallTimeoutMilliseconds = 5000;

} // namespace

QNLogindSessionMonitor::QNLogindSessionMonitor(QObject* parent)
    : QNLogindSessionMonitor(QDBusConnection::systemBus(), parent) {}

QNLogindSessionMonitor::QNLogindSessionMonitor(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , _bus(bus) {}

QNLogindSessionMonitor::~QNLogindSessionMonitor() {
    stopObserving();
}

void QNLogindSessionMonitor::startObserving(Handler sessionDidBecomeActive, Handler sessionDidResignActive) {
    stopObserving();
    _didBecomeActive = std::move(sessionDidBecomeActive);
    _didResignActive = std::move(sessionDidResignActive);
    if (!_bus.isConnected()) {
        return;
    }
    _sessionPath = resolveSessionPath();
    // logind signals on the session's own path; "auto" only names it for calls.
    _observing = _bus.connect(kLogindService, _sessionPath, kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                              this, SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    bool active = true;
    _active = readActive(&active) ? active : true;
}

void QNLogindSessionMonitor::stopObserving() {
    if (_observing) {
        _bus.disconnect(kLogindService, _sessionPath, kPropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                        SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        _observing = false;
    }
    _didBecomeActive = nullptr;
    _didResignActive = nullptr;
}

QString QNLogindSessionMonitor::resolveSessionPath() const {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kLogindService, kLogindPath, kManagerInterface, QStringLiteral("GetSession"));
    call << QStringLiteral("auto");
    const QDBusReply<QDBusObjectPath> reply = _bus.call(call, QDBus::Block, kCallTimeoutMilliseconds);
    if (reply.isValid() && !reply.value().path().isEmpty()) {
        return reply.value().path();
    }
    return kAutoSessionPath;
}

bool QNLogindSessionMonitor::readActive(bool* active) const {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kLogindService, _sessionPath, kPropertiesInterface, QStringLiteral("Get"));
    call << kSessionInterface << kActiveProperty;
    const QDBusReply<QDBusVariant> reply = _bus.call(call, QDBus::Block, kCallTimeoutMilliseconds);
    if (!reply.isValid() || reply.value().variant().typeId() != QMetaType::Bool) {
        return false;
    }
    *active = reply.value().variant().toBool();
    return true;
}

void QNLogindSessionMonitor::propertiesChanged(const QString& interfaceName, const QVariantMap& changed,
                                               const QStringList& invalidated) {
    if (interfaceName != kSessionInterface) {
        return;
    }
    const auto it = changed.constFind(kActiveProperty);
    if (it != changed.constEnd()) {
        if (it->typeId() == QMetaType::Bool) {
            setActive(it->toBool());
        }
        return;
    }
    // A property announced only as invalidated is read back.
    bool active = true;
    if (invalidated.contains(kActiveProperty) && readActive(&active)) {
        setActive(active);
    }
}

void QNLogindSessionMonitor::setActive(bool active) {
    if (active == _active) {
        return;
    }
    _active = active;
    const Handler& handler = active ? _didBecomeActive : _didResignActive;
    if (handler) {
        // A copy: the handler may stop observing, which clears the stored one.
        const Handler call = handler;
        call();
    }
}

#include "platform/QNNotificationCenter.h"

#include <QDBusError>
#include <QDBusMessage>

#include <algorithm>

const QString QNNotificationCenter::kObjectPath = QStringLiteral("/com/fernhollowsoftware/quillon");
const QString QNNotificationCenter::kInterface = QStringLiteral("com.fernhollowsoftware.quillon.Notifications");

namespace {

// A D-Bus member name: letters, digits and underscores, not starting with a digit, at most 255 long.
bool isSignalName(const QString& name) {
    if (name.isEmpty() || name.size() > 255 || name.at(0).isDigit()) {
        return false;
    }
    for (const QChar c : name) {
        const bool allowed =
            (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

} // namespace

QNNotificationCenter::QNNotificationCenter(QObject* parent)
    : QNNotificationCenter(QDBusConnection::sessionBus(), parent) {}

QNNotificationCenter::QNNotificationCenter(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , _bus(bus) {}

QNNotificationCenter::~QNNotificationCenter() {
    removeAllObservers();
}

bool QNNotificationCenter::postNotificationName(const QString& name, const QString& object) {
    if (!isSignalName(name)) {
        _lastError = QStringLiteral("\"%1\" cannot be the name of a notification").arg(name);
        return false;
    }
    if (object.contains(QChar(0)) || !object.isValidUtf16()) {
        _lastError = QStringLiteral("the object of a notification must be plain text");
        return false;
    }
    if (!_bus.isConnected()) {
        _lastError = QStringLiteral("no session bus: %1").arg(_bus.lastError().message());
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, kInterface, name);
    signal << object;
    if (!_bus.send(signal)) {
        _lastError = QStringLiteral("the notification could not be sent: %1").arg(_bus.lastError().message());
        return false;
    }
    return true;
}

bool QNNotificationCenter::flush(int timeoutMilliseconds) {
    if (!_bus.isConnected()) {
        _lastError = QStringLiteral("no session bus");
        return false;
    }
    // The bus daemon handles one connection's messages in order, so its answer comes after it has routed
    // every signal sent before the call.
    const QDBusMessage call =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
    const QDBusMessage reply = _bus.call(call, QDBus::Block, timeoutMilliseconds);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        _lastError = QStringLiteral("the session bus did not answer: %1").arg(reply.errorMessage());
        return false;
    }
    return true;
}

int QNNotificationCenter::addObserver(Handler handler, const QString& name, const QString& object) {
    if (!handler || !isSignalName(name)) {
        _lastError = QStringLiteral("\"%1\" cannot be the name of a notification").arg(name);
        return 0;
    }
    if (!subscribe(name)) {
        return 0;
    }
    const int token = _nextToken++;
    _observers.append({token, name, object, std::move(handler)});
    return token;
}

void QNNotificationCenter::removeObserver(int token) {
    for (qsizetype index = 0; index < _observers.size(); ++index) {
        if (_observers.at(index).token == token) {
            const QString name = _observers.at(index).name;
            _observers.removeAt(index);
            unsubscribeUnused(name);
            return;
        }
    }
}

void QNNotificationCenter::removeAllObservers() {
    _observers.clear();
    const QStringList names = _subscribedNames;
    for (const QString& name : names) {
        unsubscribeUnused(name);
    }
}

bool QNNotificationCenter::subscribe(const QString& name) {
    if (_subscribedNames.contains(name)) {
        return true;
    }
    // Empty service and path: from any sender, on any object path.
    if (!_bus.connect(QString(), QString(), kInterface, name, this, SLOT(receive(QDBusMessage)))) {
        _lastError = _bus.isConnected()
                         ? QStringLiteral("the bus refused the subscription: %1").arg(_bus.lastError().message())
                         : QStringLiteral("no session bus: %1").arg(_bus.lastError().message());
        return false;
    }
    _subscribedNames.append(name);
    return true;
}

void QNNotificationCenter::unsubscribeUnused(const QString& name) {
    for (const Observer& observer : std::as_const(_observers)) {
        if (observer.name == name) {
            return;
        }
    }
    if (_subscribedNames.removeAll(name) > 0) {
        _bus.disconnect(QString(), QString(), kInterface, name, this, SLOT(receive(QDBusMessage)));
    }
}

void QNNotificationCenter::receive(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (message.interface() != kInterface || arguments.isEmpty() || arguments.first().typeId() != QMetaType::QString) {
        return;
    }
    const QString name = message.member();
    const QString object = arguments.first().toString();
    // A handler may add or remove observers, so the matching ones are picked before any is called.
    QList<Observer> matching;
    for (const Observer& observer : std::as_const(_observers)) {
        if (observer.name == name && (observer.object.isNull() || observer.object == object)) {
            matching.append(observer);
        }
    }
    for (const Observer& observer : std::as_const(matching)) {
        const bool stillObserving = std::any_of(_observers.cbegin(), _observers.cend(), [&](const Observer& current) {
            return current.token == observer.token;
        });
        if (stillObserving) {
            observer.handler(name, object);
        }
    }
}

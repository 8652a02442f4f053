#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QDBusMessage;

// Process-wide notifications between the agent and the settings tool, as D-Bus signals on the session bus:
// object path /com/fernhollowsoftware/quillon, interface com.fernhollowsoftware.quillon.Notifications,
// member = the notification's name, one string argument = the notification's object (the sender's
// identifier). Observers take the signal from any path and any sender and filter on name and object, so
// the agent, which observes only the settings tool's object, never hears its own notifications.
// Handlers run on the thread of the center's event loop.
class QNNotificationCenter : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const QString& name, const QString& object)>;

    static const QString kObjectPath;
    static const QString kInterface;

    // On the session bus.
    explicit QNNotificationCenter(QObject* parent = nullptr);
    explicit QNNotificationCenter(const QDBusConnection& bus, QObject* parent = nullptr);
    ~QNNotificationCenter() override;

    bool isConnected() const { return _bus.isConnected(); }

    // Sends at once. False without a bus, or when the name cannot be a signal name.
    bool postNotificationName(const QString& name, const QString& object);
    // Returns once the bus has routed everything posted so far; a program that posts and exits calls it,
    // or its last notifications may die with it.
    bool flush(int timeoutMilliseconds = 5000);

    // Calls handler for every notification called name whose object equals object (any object when
    // object is null). Returns a token for removeObserver, or 0 when the bus refused the subscription.
    int addObserver(Handler handler, const QString& name, const QString& object);
    void removeObserver(int token);
    void removeAllObservers();

    QString lastError() const { return _lastError; }

private slots:
    void receive(const QDBusMessage& message);

private:
    struct Observer {
        int token = 0;
        QString name;
        QString object;
        Handler handler;
    };

    bool subscribe(const QString& name);
    void unsubscribeUnused(const QString& name);

    QDBusConnection _bus;
    QList<Observer> _observers;
    QStringList _subscribedNames;
    int _nextToken = 1;
    QString _lastError;
};
